// Site management: the site list file, add, edit, delete and import.
#include "model/FileLock.h"
#include "model/Paths.h"
#include "model/ReadOnlyAccess.h"
#include "model/SiteCatalogue.h"
#include "model/SiteData.h"
#include "model/SiteListFile.h"
#include "ops/ImportLine.h"
#include "ops/QuarnelDoc.h"
#include "platform/Descriptor.h"
#include "platform/TextCodec.h"
#include "update/UpdateScheduler.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

constexpr const char* kSiteExists = "站点已有！";
constexpr const char* kCannotOpenFile = "无法打开所选文件！";
constexpr const char* kSiteBusy = "该站点正在更新，请在更新结束后再编辑。";

constexpr const char* kCannotLock = "无法锁定文件，没有做任何更改：\n";

// Holds site.ds for one change. A writer that hangs holds the others up to kSaveLockWait; past
// that, or when the lock file cannot be used at all, the change is not made: a writer without
// the lock would lose what others write meanwhile.
class CSiteListTurn {
public:
    CSiteListTurn() {
        if (!m_lock.Lock(SiteListLockPath(), kSaveLockWait))
            m_failure = LockFailure(SiteListLockPath(), errno);
    }
    bool Taken() const { return m_lock.IsLocked(); }
    const FileError& Failure() const { return m_failure; }

private:
    CFileLock m_lock;
    FileError m_failure;
};

// Holds the update lock of `key` while the site is deleted or renamed, so that no crawl of it by
// another program saves its tree under the key meanwhile (or starts before and saves after). A
// crawl holds that lock from start to save: `wait` bounds the wait for it to end, `onWait` is told
// when the wait begins. False with `failure` set (EWOULDBLOCK: still being updated).
bool TakeUpdateTurn(CFileLock& lock, const std::string& key, std::chrono::milliseconds wait,
                    const std::function<void(const std::string&)>& onWait, FileError& failure) {
    if (!IsUsableSiteKey(key))
        return true; // no files under such a key, and no crawl saves any
    const std::string path = SiteUpdateLockPath(key);
    if (lock.Lock(path, std::chrono::milliseconds(0)))
        return true;
    if (errno == EWOULDBLOCK && wait.count() > 0) {
        if (onWait)
            onWait(key);
        if (lock.Lock(path, wait))
            return true;
    }
    failure = LockFailure(path, errno);
    return false;
}

// Typed text to the stored form. A field the user left as it was shown keeps its stored bytes,
// so that editing one field never re-encodes the others.
std::string StoredText(const std::string& typedUtf8, const std::string& stored) {
    if (GbkToUtf8(stored) == typedUtf8)
        return stored;
    return Utf8ToNarrow(typedUtf8);
}

bool HasSite(const CObList<CFTPSite>& sites, const std::string& host, const std::string& user) {
    for (const CFTPSite* site : sites)
        if (site->m_strHost == host && site->m_strUser == user)
            return true;
    return false;
}

// The login `fields` give, stored as an add (`editing` null) or an edit of `editing` stores it.
void StoreLogin(const SiteFields& fields, const CFTPSite* editing, CFTPSite& into) {
    const std::string none;
    into.m_strHost = StoredText(fields.host, editing ? editing->m_strHost : none);
    if (fields.anonymous) {
        into.m_strUser = kAnonymousUser;
        into.m_strPassword = kAnonymousPassword;
    } else {
        into.m_strUser = StoredText(fields.user, editing ? editing->m_strUser : none);
        into.m_strPassword = StoredText(fields.password, editing ? editing->m_strPassword : none);
    }
}

// The (host, user) pairs of a site list, so that each line of an import is tested against the
// list in constant time; the views point into the sites, which outlive the import.
class CLoginSet {
public:
    explicit CLoginSet(const CObList<CFTPSite>& sites) {
        m_pairs.reserve(sites.GetCount());
        for (const CFTPSite* site : sites)
            Add(*site);
    }
    bool Has(std::string_view host, std::string_view user) const { return m_pairs.count({host, user}) != 0; }
    void Add(const CFTPSite& site) { m_pairs.emplace(site.m_strHost, site.m_strUser); }

private:
    using Pair = std::pair<std::string_view, std::string_view>;
    struct PairHash {
        std::size_t operator()(const Pair& pair) const noexcept {
            const std::size_t h = std::hash<std::string_view>{}(pair.first);
            return h ^
                   (std::hash<std::string_view>{}(pair.second) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
        }
    };
    std::unordered_set<Pair, PairHash> m_pairs;
};

// An import file is read whole. A site line takes a few dozen bytes, so 64 MiB is more than a
// million sites, far beyond any list a person keeps (site.ds and the window's tree would hold
// them all too); the limit stops a wrong choice (a disk image, a log) from filling the memory.
constexpr off_t kMaxImportFileSize = 64 * 1024 * 1024;

constexpr const char* kNotRegularFile = "所选文件不是普通文件，无法导入！";
constexpr const char* kFileTooLarge = "所选文件太大（超过 64 MiB），无法导入！";

// The whole file, or the message that says why it cannot be imported. Only a regular file of a
// sane size is read: /dev/zero would never end, and O_NONBLOCK keeps the open of a FIFO without
// a writer from waiting for one.
bool ReadImportFile(const std::string& path, std::string& content, std::string& message) {
    message = kCannotOpenFile;
    CFd fd;
    struct stat st {};
    switch (OpenBoundedFile(path, 0, kMaxImportFileSize, fd, st)) {
    case BoundedOpen::Opened:
        break;
    case BoundedOpen::Failed:
        return false;
    case BoundedOpen::NotRegular:
        message = kNotRegularFile;
        return false;
    case BoundedOpen::TooLarge:
        message = kFileTooLarge;
        return false;
    }
    content.clear();
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ReadOnce(fd.Get(), buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > static_cast<std::size_t>(kMaxImportFileSize)) {
            message = kFileTooLarge; // it grew while being read
            return false;
        }
    }
    message.clear();
    return true;
}

} // namespace

SiteOpResult CQuarnelDoc::LockRefused(const FileError& failure) {
    m_lastLockFailure = m_lastListSaveError = failure;
    return {OpStatus::Refused, nullptr, kCannotLock + failure.Text()};
}

LoadOutcome CQuarnelDoc::OnNewDocument() {
    // A half-written list is never seen anyway; the lock orders the first creation, which a
    // read-only load never makes.
    std::optional<CSiteListTurn> turn;
    if (!IsReadOnlyAccess()) {
        turn.emplace();
        RemoveStaleLeftovers(); // what writers killed part way left, whatever file or site
    }
    const SiteListLoadResult result = LoadSiteList(SiteListPath(), m_siteList);
    if (result.modified)
        m_bModified = true;
    RememberSavedLogins(m_siteList);
    if (result.outcome == SiteListLoadResult::Ok)
        return {};
    return {false, result.message, result.cause.Text(), result.cause};
}

void CQuarnelDoc::OnCloseDocument() {
    SaveReadMarks("at close");
}

void CQuarnelDoc::RememberSavedLogins(const CObList<CFTPSite>& list) {
    m_savedLogins.clear();
    for (const CFTPSite* site : list)
        m_savedLogins.emplace(site->m_strHost, site->m_strUser);
}

CQuarnelDoc::SiteListMerge CQuarnelDoc::MergeSiteListFile(const CFTPSite* keep) {
    SiteListMerge merge;
    // No program leaves site.ds missing or empty (each write replaces it whole): such a file was
    // removed or emptied by hand, and says nothing of sites deleted elsewhere.
    struct stat st {};
    if (stat(SiteListPath().c_str(), &st) != 0 || st.st_size == 0)
        return merge;
    CObList<CFTPSite> onDisk;
    // A damaged or unreadable file says nothing reliable about what others changed.
    if (LoadSiteList(SiteListPath(), onDisk).outcome != SiteListLoadResult::Ok)
        return merge;
    std::set<std::pair<std::string, std::string>> diskLogins;
    for (const CFTPSite* site : onDisk)
        diskLogins.emplace(site->m_strHost, site->m_strUser);

    // Renamed elsewhere (quarnel-cli edit --host): a loaded site gone from the file whose
    // content.ct is now that of a site the file added, its data directory renamed with the key.
    // It takes that site's fields and keeps its tree, and the read marks not saved yet with it.
    std::set<std::pair<std::string, std::string>> mineLogins;
    for (const CFTPSite* site : m_siteList)
        mineLogins.emplace(site->m_strHost, site->m_strUser);
    for (CFTPSite* site : m_siteList) {
        std::pair<std::string, std::string> login{site->m_strHost, site->m_strUser};
        if (site == keep || diskLogins.count(login) || !m_savedLogins.count(login) || !site->IsLoaded() ||
            IsSiteInEngine(site) || IsWalkInProgress())
            continue;
        CFTPSite::CStoredCatalogue stored;
        {
            auto lock = site->LockTree();
            stored = site->m_storedCatalogue;
        }
        if (stored.m_nInode == 0)
            continue;
        for (const CFTPSite* theirs : onDisk) {
            const std::string key = theirs->GetKey();
            struct stat content {};
            if (mineLogins.count({theirs->m_strHost, theirs->m_strUser}) || !IsUsableSiteKey(key) ||
                stat((SiteDataDirPath(key) + "/content.ct").c_str(), &content) != 0 ||
                static_cast<uint64_t>(content.st_ino) != stored.m_nInode ||
                static_cast<uint64_t>(content.st_dev) != stored.m_nDevice)
                continue;
            {
                auto lock = site->LockTree();
                site->m_strHost = theirs->m_strHost;
                site->m_strUser = theirs->m_strUser;
                site->m_strPassword = theirs->m_strPassword;
            }
            mineLogins.erase(login);
            mineLogins.emplace(site->m_strHost, site->m_strUser);
            merge.changed.push_back(site); // the other fields follow below, as for any site
            break;
        }
    }

    // Deleted elsewhere: in the file when this document last saw it, gone from it now.
    for (std::size_t index = 0; index < m_siteList.GetCount();) {
        CFTPSite* site = m_siteList.GetAt(index);
        const std::pair<std::string, std::string> login{site->m_strHost, site->m_strUser};
        if (site == keep || diskLogins.count(login) || !m_savedLogins.count(login) || IsSiteInEngine(site) ||
            IsWalkInProgress()) {
            ++index;
            continue;
        }
        SiteGoing(site);
        RetireSite(m_siteList.RemoveAt(index));
        ++merge.removed;
    }

    std::unordered_map<std::string, CFTPSite*> mine;
    for (CFTPSite* site : m_siteList)
        mine.emplace(site->m_strHost + '\0' + site->m_strUser, site);
    for (std::size_t index = 0; index < onDisk.GetCount(); ++index) {
        CFTPSite* theirs = onDisk.GetAt(index);
        const auto found = mine.find(theirs->m_strHost + '\0' + theirs->m_strUser);
        if (found == mine.end()) {
            // Added elsewhere.
            CFTPSite* added = m_siteList.AddTail(onDisk.RemoveAt(index--));
            mine.emplace(added->m_strHost + '\0' + added->m_strUser, added);
            merge.added.push_back(added);
            continue;
        }
        CFTPSite* site = found->second;
        // A worker reads the login while it updates: the fields wait for the next merge.
        if (IsSiteInEngine(site))
            continue;
        if (std::find(merge.changed.begin(), merge.changed.end(), site) != merge.changed.end()) {
            site->m_nPort = theirs->m_nPort;
            site->m_strNickname = theirs->m_strNickname;
            site->m_strRemark = theirs->m_strRemark;
            site->m_bAnonymousUpdate = theirs->m_bAnonymousUpdate;
            continue;
        }
        if (site->m_strPassword != theirs->m_strPassword || site->m_nPort != theirs->m_nPort ||
            site->m_strNickname != theirs->m_strNickname || site->m_strRemark != theirs->m_strRemark ||
            site->m_bAnonymousUpdate != theirs->m_bAnonymousUpdate) {
            site->m_strPassword = theirs->m_strPassword;
            site->m_nPort = theirs->m_nPort;
            site->m_strNickname = theirs->m_strNickname;
            site->m_strRemark = theirs->m_strRemark;
            site->m_bAnonymousUpdate = theirs->m_bAnonymousUpdate;
            merge.changed.push_back(site);
        }
    }
    m_savedLogins = std::move(diskLogins);
    return merge;
}

CQuarnelDoc::SiteListMerge CQuarnelDoc::ReloadSiteList() {
    CSiteListTurn turn;
    return MergeSiteListFile(nullptr);
}

bool CQuarnelDoc::WriteSiteListLocked() {
    const CResult<void> saved = ::SaveSiteList(SiteListPath(), m_siteList);
    if (!saved) {
        m_lastListSaveError = saved.error();
        return false;
    }
    m_lastListSaveError = {};
    RememberSavedLogins(m_siteList);
    return true;
}

bool CQuarnelDoc::SaveSiteList() {
    CSiteListTurn turn;
    if (!turn.Taken()) {
        m_lastLockFailure = m_lastListSaveError = turn.Failure();
        return false;
    }
    MergeSiteListFile(nullptr);
    return WriteSiteListLocked();
}

bool CQuarnelDoc::SaveSiteListAs(const std::string& path) {
    const CResult<void> saved = ::SaveSiteList(path, m_siteList);
    if (!saved) {
        m_lastListSaveError = saved.error();
        return false;
    }
    m_bModified = false;
    return true;
}

std::string CQuarnelDoc::SiteClash(const SiteFields& fields, const CFTPSite* editing) const {
    // Two sites of one host and user, or of one key, would share one data directory.
    CFTPSite login;
    StoreLogin(fields, editing, login);
    const std::string key = login.GetKey();
    for (const CFTPSite* other : m_siteList) {
        if (other == editing)
            continue;
        if ((other->m_strHost == login.m_strHost && other->m_strUser == login.m_strUser) ||
            other->GetKey() == key)
            return kSiteExists;
    }
    return {};
}

SiteOpResult CQuarnelDoc::AddSite(const SiteFields& fields) {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = Utf8ToNarrow(fields.host);
    if (fields.anonymous) {
        site->m_strUser = kAnonymousUser;
        site->m_strPassword = kAnonymousPassword;
    } else {
        site->m_strUser = Utf8ToNarrow(fields.user);
        site->m_strPassword = Utf8ToNarrow(fields.password);
    }
    m_lastLockFailure = {};
    CSiteListTurn turn;
    if (!turn.Taken())
        return LockRefused(turn.Failure());
    MergeSiteListFile(nullptr); // a site added by another program counts as existing
    if (HasSite(m_siteList, site->m_strHost, site->m_strUser))
        return {OpStatus::Refused, nullptr, kSiteExists};
    site->m_nPort = fields.port;
    site->m_strNickname = Utf8ToNarrow(fields.nickname);
    site->m_strRemark = Utf8ToNarrow(fields.remark);
    site->m_bAnonymousUpdate = fields.anonymousUpdate ? 1 : 0;
    site->m_nLoadState = TreeLoadState::Loaded; // nothing of it exists on disk yet
    CFTPSite* added = m_siteList.AddTail(std::move(site));
    const bool saved = WriteSiteListLocked();
    FileError settingsError;
    if (fields.encoding != NameEncodingChoice::Auto || fields.connections != kDefaultSiteConnections ||
        fields.protocol != SiteProtocol::Ftp) {
        CSiteSettings settings = added->GetSettings();
        settings.m_encoding = fields.encoding;
        settings.m_nConnections = ClampSiteConnections(fields.connections);
        settings.SetProtocol(fields.protocol);
        if (!added->SetSettings(settings))
            settingsError = FileError::FromErrno(SiteSettingsPath(added->GetKey()), errno);
    }
    return {OpStatus::Done, added, {}, saved, std::move(settingsError)};
}

SiteFields CQuarnelDoc::FieldsFromSite(const CFTPSite& site) const {
    SiteFields fields;
    fields.host = GbkToUtf8(site.m_strHost);
    fields.port = site.m_nPort;
    fields.anonymousUpdate = site.m_bAnonymousUpdate != 0;
    fields.nickname = GbkToUtf8(site.m_strNickname);
    fields.remark = GbkToUtf8(site.m_strRemark);
    fields.anonymous = site.IsAnonymous();
    if (!fields.anonymous) {
        fields.user = GbkToUtf8(site.m_strUser);
        fields.password = GbkToUtf8(site.m_strPassword);
    }
    const CSiteSettings settings = site.GetSettings();
    fields.encoding = settings.m_encoding;
    fields.connections = settings.m_nConnections;
    fields.protocol = settings.m_protocol;
    return fields;
}

SiteOpResult CQuarnelDoc::EditSite(CFTPSite* site, const SiteFields& fields) {
    if (!site)
        return {OpStatus::Refused, nullptr, {}};
    // A worker reads the login and the key while it updates; changing them under it would
    // race, and its files would land under the old key after the rename.
    if (IsSiteInEngine(site))
        return {OpStatus::Refused, site, kSiteBusy};
    // A host or port left as it was stays, whatever it is (an imported site may have port 0).
    std::string problem =
        fields.host == GbkToUtf8(site->m_strHost) ? std::string() : HostProblem(fields.host);
    if (problem.empty() && fields.port != site->m_nPort)
        problem = PortProblem(fields.port);
    if (!problem.empty())
        return {OpStatus::Refused, site, problem};
    // Nor while another program updates it: its crawl would save under the old key.
    CFTPSite edited;
    StoreLogin(fields, site, edited);
    CFileLock oldKeyUpdate, newKeyUpdate;
    m_lastLockFailure = {};
    if (edited.GetKey() != site->GetKey()) {
        if (!TakeUpdateTurn(oldKeyUpdate, site->GetKey(), m_updateWait, m_onUpdateWait, m_lastLockFailure) ||
            !TakeUpdateTurn(newKeyUpdate, edited.GetKey(), m_updateWait, m_onUpdateWait, m_lastLockFailure)) {
            if (m_lastLockFailure.errnoValue == EWOULDBLOCK)
                return {OpStatus::Refused, site, kSiteBusy};
            return {OpStatus::Refused, site, kCannotLock + m_lastLockFailure.Text()};
        }
    }
    CSiteListTurn turn;
    if (!turn.Taken()) {
        SiteOpResult refused = LockRefused(turn.Failure());
        refused.site = site;
        return refused;
    }
    MergeSiteListFile(site);
    // Tested against the list as it is now, other programs' changes included.
    const std::string clash = SiteClash(fields, site);
    if (!clash.empty())
        return {OpStatus::Refused, site, clash};
    const std::string oldKey = site->GetKey();
    const std::string oldHost = site->m_strHost;
    const int32_t oldPort = site->m_nPort;
    site->m_strHost = edited.m_strHost;
    site->m_strUser = edited.m_strUser;
    site->m_strPassword = edited.m_strPassword;
    site->m_nPort = fields.port;
    site->m_bAnonymousUpdate = fields.anonymousUpdate ? 1 : 0;
    site->m_strNickname = StoredText(fields.nickname, site->m_strNickname);
    site->m_strRemark = StoredText(fields.remark, site->m_strRemark);
    const std::string newKey = site->GetKey();
    if (newKey != oldKey)
        RenameSiteData(oldKey, newKey); // a failure leaves the catalogue under the old name
    const bool saved = WriteSiteListLocked();
    if (newKey != oldKey)
        oldKeyUpdate.UnlockAndRemove(); // the old key names no site now
    FileError settingsError;
    CSiteSettings settings = site->GetSettings();
    const int connections = ClampSiteConnections(fields.connections);
    // An accepted certificate is that server's: another host or port must be trusted anew.
    const bool otherServer = site->m_strHost != oldHost || site->m_nPort != oldPort;
    if (settings.m_encoding != fields.encoding || settings.m_nConnections != connections ||
        settings.m_protocol != fields.protocol || (otherServer && !settings.m_tlsPin.empty())) {
        settings.m_encoding = fields.encoding;
        settings.m_nConnections = connections;
        if (settings.m_protocol != fields.protocol)
            settings.SetProtocol(fields.protocol);
        if (otherServer)
            settings.m_tlsPin.clear();
        if (!site->SetSettings(settings))
            settingsError = FileError::FromErrno(SiteSettingsPath(newKey), errno);
    }
    return {OpStatus::Done, site, {}, saved, std::move(settingsError)};
}

OpStatus CQuarnelDoc::DeleteSite(CFTPSite* site) {
    if (!site)
        return OpStatus::Refused;
    if (IsWalkInProgress())
        return OpStatus::Busy;
    // A site this program updates is handed to its own engine below; one another program
    // updates is waited for, so that its crawl does not write the files back.
    m_lastLockFailure = {};
    CFileLock update;
    if (!IsSiteInEngine(site) &&
        !TakeUpdateTurn(update, site->GetKey(), m_updateWait, m_onUpdateWait, m_lastLockFailure))
        return OpStatus::Refused;
    CSiteListTurn turn;
    if (!turn.Taken()) {
        m_lastLockFailure = turn.Failure();
        return OpStatus::Refused;
    }
    MergeSiteListFile(site);
    std::size_t index = 0;
    while (index < m_siteList.GetCount() && m_siteList.GetAt(index) != site)
        ++index;
    if (index == m_siteList.GetCount())
        return OpStatus::Refused;
    SiteGoing(site);
    const std::string key = site->GetKey();
    // The engine destroys a site it still holds once its worker has ended, and writes nothing
    // more for it; so its files can go after this.
    RetireSite(m_siteList.RemoveAt(index));
    DeleteSiteData(key);
    WriteSiteListLocked();
    update.UnlockAndRemove(); // it was held, so DeleteSiteData left it
    return OpStatus::Done;
}

ImportResult CQuarnelDoc::ImportSites(const std::string& path) {
    std::string content, message;
    if (!ReadImportFile(path, content, message))
        return {OpStatus::Refused, 0, message};
    // Site fields are stored as GB18030 whatever way they came in; a file in UTF-8 (the usual
    // text file on this system) is converted, a file in GBK is taken as it is.
    const bool utf8File = IsValidUtf8(content);
    m_lastLockFailure = {};
    CSiteListTurn turn;
    if (!turn.Taken()) {
        m_lastLockFailure = m_lastListSaveError = turn.Failure();
        return {OpStatus::Refused, 0, kCannotLock + turn.Failure().Text()};
    }
    MergeSiteListFile(nullptr); // lines naming sites another program added meanwhile are repeats
    ImportResult result;
    CLoginSet logins(m_siteList); // grows with each site added: a later line never repeats an earlier one
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        std::size_t next = end == std::string::npos ? content.size() : end + 1;
        if (end == std::string::npos)
            end = content.size();
        else if (end > start && content[end - 1] == '\r')
            --end; // CR LF ends a line as LF does
        const std::string_view line(content.data() + start, end - start);
        start = next;
        ImportedSite parsed;
        if (!ParseImportLine(line, parsed))
            continue;
        const std::string shownHost = utf8File ? parsed.host : GbkToUtf8(parsed.host);
        if (utf8File) {
            parsed.host = Utf8ToNarrow(parsed.host);
            parsed.user = Utf8ToNarrow(parsed.user);
            parsed.password = Utf8ToNarrow(parsed.password);
        }
        const bool anonymous = parsed.password == kAnonymousPassword;
        const std::size_t keyLength = parsed.host.size() + (anonymous ? 0 : 1 + parsed.user.size());
        const bool controlByte = std::any_of(parsed.host.begin(), parsed.host.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; // NUL included, whatever the reading
        });
        switch (controlByte ? HostFault::BadCharacter : CheckSiteHost(shownHost, keyLength)) {
        case HostFault::Empty:
            ++result.emptyHosts;
            continue;
        case HostFault::BadCharacter:
            ++result.badHosts;
            continue;
        case HostFault::KeyTooLong:
            ++result.longKeys;
            continue;
        case HostFault::None:
            break;
        }
        if (logins.Has(parsed.host, parsed.user)) {
            ++result.skipped;
            continue;
        }
        auto site = std::make_unique<CFTPSite>();
        site->m_strHost = std::move(parsed.host);
        site->m_strUser = std::move(parsed.user);
        site->m_strPassword = std::move(parsed.password);
        site->m_nPort = parsed.port;
        logins.Add(*m_siteList.AddTail(std::move(site)));
        ++result.added;
    }
    result.listSaved = WriteSiteListLocked();
    return result;
}

// ---- what the site dialog is checked for ---------------------------------------------------

namespace {

constexpr const char* kHostMissing = "站点不能为空！";
constexpr const char* kHostBadCharacter = "站点不能包含空格或控制字符！";
constexpr const char* kPortOutOfRange = "端口号必须是1到65535之间的数字！";

// A character a host cannot hold, at `pos` of UTF-8 text: a C0 or C1 control, DEL, or a blank
// (the ASCII space and the Unicode spaces a keyboard or a copied text may bring in).
bool BadHostCharacter(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) {
        return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0u;
    };
    const unsigned c = byte(0);
    if (c <= 0x20 || c == 0x7F)
        return true;
    if (c == 0xC2 && byte(1) <= 0xA0) // U+0080..U+009F, U+00A0
        return true;
    if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) // U+1680
        return true;
    if (c == 0xE2 && byte(1) == 0x80 &&
        ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 || byte(2) == 0xAF))
        return true;                                     // U+2000..200A, 2028, 2029, 202F
    if (c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) // U+205F
        return true;
    return c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80; // U+3000, the ideographic space
}

} // namespace

std::string CQuarnelDoc::HostProblem(const std::string& host) {
    if (host.empty())
        return kHostMissing;
    for (std::size_t i = 0; i < host.size(); ++i)
        if (BadHostCharacter(host, i))
            return kHostBadCharacter;
    return {};
}

std::string CQuarnelDoc::PortProblem(int32_t port) {
    return port >= 1 && port <= 65535 ? std::string() : std::string(kPortOutOfRange);
}
