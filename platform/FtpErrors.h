#pragma once
// How a failed libcurl FTP call is classed for the crawler: connection lost (the walk must end),
// refused by the server (skip or treat as empty), or any other failure.

#include "platform/FtpClient.h"

#include <string_view>

// `code` is a CURLcode, `replyCode` the code of the server's last complete reply (0 if none).
FtpStatus ClassifyFtpError(int code, int replyCode);

// The reply code at the start of a reply line ("550 No such file" -> 550), or 0.
int ReplyCodeOf(std::string_view line);
