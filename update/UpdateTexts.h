#pragma once
// The status texts the engine writes into a site. They are UTF-8 like every literal of the
// program; foreign text appended to them (a server reply, a library message) is converted to
// UTF-8 first, so that a status line is always shown in one encoding.

inline constexpr const char* kStatusWaiting = "正在等待更新...";
inline constexpr const char* kStatusConnecting = "正在连接...";
inline constexpr const char* kStatusConnected = "已连接,正在更新...";
inline constexpr const char* kStatusSucceeded = "更新成功";
// Full-width exclamation mark: a worker saw the stop flag.
inline constexpr const char* kStatusStopped = "更新终止！";
// Half-width exclamation mark: the request was taken out of the queue by a stop before it ran.
inline constexpr const char* kStatusDrained = "更新终止!";
inline constexpr const char* kStatusLostPrefix = "更新意外终止"; // what the automatic re-queue tests
inline constexpr const char* kStatusLostFormat = "更新意外终止:\n";
inline constexpr const char* kStatusFailedPrefix = "更新失败:\n";
// Another program on the same program directory is updating the site: this run does not start.
inline constexpr const char* kStatusBusyElsewhere = "另一个程序正在更新该站点，已跳过";
// After "更新失败:\n": the site's update lock could not be used (a directory or a link in its
// place, the file system refused it); the path and the reason follow. Nothing was updated.
inline constexpr const char* kFailureLockUnusable = "无法使用锁文件:";
// After "更新失败:\n": another program deleted the site, or changed its key, while it was
// updated; nothing was saved, so no files come back under the old key.
inline constexpr const char* kFailureSiteGone = "该站点已被删除或改名,更新的结果没有保存";
inline constexpr const char* kStatusNoSession = "更新失败:\n创建Internet会话失败";
inline constexpr const char* kStatusRequeued = "\t等待继续更新";
// Why a connection failed or broke off, after "更新失败:\n" or "更新意外终止:\n", where the
// server gave no reply of its own to show instead.
inline constexpr const char* kFailureHostNotFound = "无法解析主机名";
inline constexpr const char* kFailureConnectionRefused = "服务器拒绝连接";
inline constexpr const char* kFailureCannotConnect = "无法连接到服务器";
inline constexpr const char* kFailureTimedOut = "连接超时";
inline constexpr const char* kFailureLoginDenied = "登录被拒绝";
inline constexpr const char* kFailureConnectionLost = "与服务器的连接已断开";
inline constexpr const char* kFailureTlsNotOffered = "服务器不支持TLS加密连接";
inline constexpr const char* kFailureSecureHandshake = "无法建立加密连接";
// A secure site's server presented what the user has not accepted: nothing was sent to it.
inline constexpr const char* kFailureCertificateUntrusted = "服务器的证书未通过验证,尚未信任";
inline constexpr const char* kFailureCertificateChanged = "服务器的证书与此前接受的不同";
inline constexpr const char* kFailureHostKeyUnknown = "服务器的主机密钥尚未信任";
inline constexpr const char* kFailureHostKeyChanged = "服务器的主机密钥与此前信任的不同";
// site.conf names a protocol this version does not know: the site is not reached in the clear.
inline constexpr const char* kFailureUnknownProtocol = "未知的连接协议";
// site.conf is there but damaged or unreadable: what it lost may have been the protocol or the
// pin, so the server is not contacted.
inline constexpr const char* kFailureSettingsDamaged = "站点设置文件已损坏,没有连接服务器";
// Second line of a successful update that met directories nested deeper than the walk goes.
inline constexpr const char* kStatusDepthLimit = "\n目录层次超过256层,更深的目录没有更新";
// Second line of a successful update that met directories listed exactly like their
// ancestors (links back up the tree) and did not go down them.
inline constexpr const char* kStatusLoopSkipped = "\n发现循环链接的目录,没有进入";
// Second line of a successful update in which the server cut some listings short: what those
// listings left out was kept, nothing of those directories removed.
inline constexpr const char* kStatusTruncated = "\n服务器截断了部分目录的列表,这些目录中没有删除任何条目";
// Lines of a successful update in which some listings did not arrive whole: their data
// connection failed (425, 426, cut off), or the listing was given up for its size (ten million
// entries or a line of a MiB) or its time (ten minutes). Those directories kept what they held.
inline constexpr const char* kStatusListingFailed = "\n部分目录的列表传输失败,这些目录保留了上次的内容";
// ... or the server refused them for now (450: the directory is busy or unavailable).
inline constexpr const char* kStatusListingBusy = "\n服务器暂时无法列出部分目录,这些目录保留了上次的内容";
inline constexpr const char* kStatusListingTooLarge =
    "\n部分目录的列表过大,没有读完,这些目录保留了上次的内容";
inline constexpr const char* kStatusListingTooSlow =
    "\n部分目录的列表传输超时,没有读完,这些目录保留了上次的内容";
// Lines of a successful update that left entries out at the bounds kept against a hostile server:
// the site's bound on entries (site.conf "max-entries"; the number goes between the two parts),
// names that cannot be stored (too long, or not one path component), and directories whose path
// is too long to send.
inline constexpr const char* kStatusEntryLimitPrefix = "\n站点的条目数达到上限";
inline constexpr const char* kStatusEntryLimitSuffix = ",部分目录没有更新,保留了上次的内容";
inline constexpr const char* kStatusNamesSkipped = "\n部分条目的名称过长或含有无法使用的字符,已跳过";
inline constexpr const char* kStatusPathsSkipped = "\n部分目录的路径过长,无法发送给服务器,这些目录没有更新";
// An update that took longer than its time allows, re-queued runs included: it ends there, keeps
// what it merged and is not queued again.
inline constexpr const char* kStatusRunTooLong =
    "更新未完成:\n服务器太慢,更新用时超过上限,已更新的部分已保存";
inline constexpr const char* kProgressFormat = "更新%d/%d";
inline constexpr const char* kProgressDone = "更新完成";
// Added to the status when the site's files could not be written, before the system's reason.
inline constexpr const char* kStatusSaveFailed = "\n保存失败:";
