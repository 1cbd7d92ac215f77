#include "platform/FtpErrors.h"

#include <curl/curl.h>

#include <cerrno>

FtpStatus ClassifyFtpError(int code, int replyCode) {
    if (code == CURLE_OK)
        return FtpStatus::Ok;
    // 421: the server is closing the control connection, whatever curl made of it.
    if (replyCode == 421)
        return FtpStatus::Lost;
    switch (static_cast<CURLcode>(code)) {
    // The connection is gone or out of step: curl closed it, and would silently log in again.
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_COULDNT_CONNECT:      // mid-walk: the data port, or a reconnect
    case CURLE_COULDNT_RESOLVE_HOST: // mid-walk: a reconnect
    case CURLE_WEIRD_SERVER_REPLY:   // a control stream we can no longer follow
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_PARTIAL_FILE: // a listing cut short must not pass for a whole one (the client
                             // tells a failed data connection on a live control one apart)
    case CURLE_WRITE_ERROR:  // the client refused the data: curl drops the connection
        return FtpStatus::Lost;
    // The server answered with an error reply.
    case CURLE_REMOTE_ACCESS_DENIED:  // CWD refused
    case CURLE_FTP_COULDNT_RETR_FILE: // LIST/MLSD refused
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_QUOTE_ERROR:
    case CURLE_LOGIN_DENIED:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_PRET_FAILED:
        return FtpStatus::Refused;
    default:
        return FtpStatus::Failed;
    }
}

bool IsDataConnectionFailure(int code, int replyCode) {
    if (code == CURLE_OK || replyCode == 421)
        return false;
    if (replyCode == 425 || replyCode == 426)
        return true;
    switch (static_cast<CURLcode>(code)) {
    case CURLE_PARTIAL_FILE:      // the data ended early, or the final reply was no 226
    case CURLE_COULDNT_CONNECT:   // the passive data port: refused or timed out
    case CURLE_FTP_CANT_GET_HOST: // the passive reply's host
    case CURLE_FTP_ACCEPT_FAILED: // active mode's own failures, should it ever be used
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return true;
    default:
        return false;
    }
}

FtpFailure ClassifyFtpFailure(int code, int replyCode, int osError) {
    // 421: the server is closing the control connection, whatever curl made of it.
    if (replyCode == 421)
        return FtpFailure::ConnectionLost;
    switch (static_cast<CURLcode>(code)) {
    case CURLE_OK: // a listing answered with an error reply passes curl as an empty one
        return replyCode >= 400 ? FtpFailure::Rejected : FtpFailure::None;
    case CURLE_ABORTED_BY_CALLBACK:
        return FtpFailure::Stopped;
    case CURLE_COULDNT_RESOLVE_HOST:
        return FtpFailure::HostNotFound;
    case CURLE_COULDNT_CONNECT:
        switch (osError) {
        case ECONNREFUSED:
            return FtpFailure::ConnectionRefused;
        case ETIMEDOUT:
            return FtpFailure::TimedOut;
        default:
            return FtpFailure::CannotConnect;
        }
    case CURLE_OPERATION_TIMEDOUT:
        return FtpFailure::TimedOut;
    case CURLE_LOGIN_DENIED:
    case CURLE_FTP_WEIRD_PASS_REPLY:
        return FtpFailure::LoginDenied;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return FtpFailure::ConnectionLost;
    case CURLE_USE_SSL_FAILED:
        return FtpFailure::TlsNotOffered;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSH:
        return FtpFailure::TlsFailed;
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_QUOTE_ERROR:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_PRET_FAILED:
        return FtpFailure::Rejected;
    default:
        return FtpFailure::Other;
    }
}

int ReplyCodeOf(std::string_view line) {
    if (line.size() < 3)
        return 0;
    int code = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return 0;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-' && line[3] != '\r' && line[3] != '\n')
        return 0;
    return code;
}
