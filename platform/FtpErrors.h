#pragma once
// How a failed libcurl FTP call is classed for the crawler: connection lost (the walk must end),
// refused by the server (skip or treat as empty), or any other failure.

#include "platform/FtpClient.h"

#include <string_view>

// `code` is a CURLcode, `replyCode` the code of the server's last complete reply (0 if none).
FtpStatus ClassifyFtpError(int code, int replyCode);

// True when a failed listing failed in its data connection rather than in the control
// connection: 425 (no data connection) and 426 (transfer aborted) replies, a listing cut short,
// and the data connection's own set-up. Whether the control connection survived it is another
// question: curl closes it after some of these (a refused data port among them).
bool IsDataConnectionFailure(int code, int replyCode);

// What a failure means to the user, whichever call met it; the texts for them are the caller's.
enum class FtpFailure {
    None,
    Stopped,           // ended by the caller's stop flag
    HostNotFound,      // the host name does not resolve
    ConnectionRefused, // the host answered, but nothing accepts connections on the port
    CannotConnect,     // no way to the host (unreachable network or host)
    TimedOut,          // the connect or a reply took longer than allowed
    LoginDenied,       // the server refused the user name or password
    ConnectionLost,    // the connection broke off, or the server closed it
    Rejected,          // the server answered a command with an error reply
    TlsNotOffered,     // TLS was required and the server does not offer it
    TlsFailed,         // the TLS or SSH handshake failed (also: a server refused for trust)
    Other,
};

// `code` is a CURLcode, `replyCode` the code of the server's reply to the failed command (0 if
// none), `osError` the errno of a failed connect (0 if none).
FtpFailure ClassifyFtpFailure(int code, int replyCode, int osError);
inline FtpFailure FailureOf(const FtpResult& result) {
    return ClassifyFtpFailure(result.code, result.reply, result.osError);
}

// The reply code at the start of a reply line ("550 No such file" -> 550), or 0.
int ReplyCodeOf(std::string_view line);
