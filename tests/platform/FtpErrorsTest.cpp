// What a failed libcurl FTP call means to the user: the outcomes observed against real servers.
#include "platform/FtpErrors.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace {

struct FailureCase {
    int code;
    int reply;
    int osError;
    FtpFailure expected;
    const char* seen; // where the outcome comes from
};

const FailureCase kFailureCases[] = {
    {CURLE_OK, 0, 0, FtpFailure::None, "success"},
    {CURLE_OK, 226, 0, FtpFailure::None, "a listing"},
    {CURLE_OK, 450, 0, FtpFailure::Rejected, "LIST answered 450 passes curl as empty"},
    {CURLE_ABORTED_BY_CALLBACK, 0, 0, FtpFailure::Stopped, "the stop flag aborted the call"},
    {CURLE_ABORTED_BY_CALLBACK, 220, 0, FtpFailure::Stopped, "stopped while waiting for the login"},
    {CURLE_COULDNT_RESOLVE_HOST, 0, 0, FtpFailure::HostNotFound, "a name under .invalid"},
    {CURLE_COULDNT_CONNECT, 0, ECONNREFUSED, FtpFailure::ConnectionRefused, "a closed port"},
    {CURLE_COULDNT_CONNECT, 0, ETIMEDOUT, FtpFailure::TimedOut, "the system's own connect time-out"},
    {CURLE_COULDNT_CONNECT, 0, EHOSTUNREACH, FtpFailure::CannotConnect, "no route to the host"},
    {CURLE_COULDNT_CONNECT, 0, ENETUNREACH, FtpFailure::CannotConnect, "no network"},
    {CURLE_COULDNT_CONNECT, 0, 0, FtpFailure::CannotConnect, "no reason known"},
    {CURLE_OPERATION_TIMEDOUT, 0, 0, FtpFailure::TimedOut, "connect time-out"},
    {CURLE_OPERATION_TIMEDOUT, 227, 0, FtpFailure::TimedOut, "no reply to LIST after PASV"},
    {CURLE_OPERATION_TIMEDOUT, 421, 0, FtpFailure::ConnectionLost, "421 is a closing server"},
    {CURLE_RECV_ERROR, 421, 0, FtpFailure::ConnectionLost, "421, then closed"},
    {CURLE_LOGIN_DENIED, 530, 0, FtpFailure::LoginDenied, "530 to PASS"},
    {CURLE_FTP_WEIRD_PASS_REPLY, 332, 0, FtpFailure::LoginDenied, "an account asked for"},
    {CURLE_RECV_ERROR, 0, 0, FtpFailure::ConnectionLost, "the server closed the control connection"},
    {CURLE_SEND_ERROR, 0, 0, FtpFailure::ConnectionLost, "reset while sending"},
    {CURLE_GOT_NOTHING, 0, 0, FtpFailure::ConnectionLost, "closed before any reply"},
    {CURLE_PARTIAL_FILE, 150, 0, FtpFailure::ConnectionLost, "a listing cut short"},
    {CURLE_REMOTE_ACCESS_DENIED, 550, 0, FtpFailure::Rejected, "CWD refused"},
    {CURLE_FTP_COULDNT_RETR_FILE, 550, 0, FtpFailure::Rejected, "LIST refused"},
    {CURLE_WEIRD_SERVER_REPLY, 0, 0, FtpFailure::Other, "not an FTP server"},
    {CURLE_OUT_OF_MEMORY, 0, 0, FtpFailure::Other, "no memory"},
};

TEST(FtpErrors, FailuresAreClassedForTheUser) {
    for (const FailureCase& c : kFailureCases) {
        SCOPED_TRACE(c.seen);
        EXPECT_EQ(ClassifyFtpFailure(c.code, c.reply, c.osError), c.expected);
    }
}

// Which failed listings failed in their data connection: those say nothing of the directory.
TEST(FtpErrors, DataConnectionFailuresAreKnownByCodeAndReply) {
    struct Case {
        int code;
        int reply;
        bool expected;
        const char* seen;
    };
    const Case cases[] = {
        {CURLE_FTP_COULDNT_RETR_FILE, 425, true, "425 to LIST"},
        {CURLE_FTP_COULDNT_RETR_FILE, 426, true, "426 to LIST"},
        {CURLE_PARTIAL_FILE, 426, true, "426 after half the listing"},
        {CURLE_PARTIAL_FILE, 0, true, "the data ended before the server said so"},
        {CURLE_FTP_WEIRD_PASV_REPLY, 425, true, "425 to PASV: no data connection to be had"},
        {CURLE_COULDNT_CONNECT, 229, true, "the passive port refused"},
        {CURLE_FTP_CANT_GET_HOST, 227, true, "the passive reply's host"},
        {CURLE_FTP_ACCEPT_FAILED, 0, true, "active mode"},
        {CURLE_FTP_ACCEPT_TIMEOUT, 0, true, "active mode"},
        {CURLE_OK, 450, false, "450: no files"},
        {CURLE_FTP_COULDNT_RETR_FILE, 550, false, "550: refused"},
        {CURLE_PARTIAL_FILE, 421, false, "the server is closing"},
        {CURLE_OPERATION_TIMEDOUT, 150, false, "a stalled transfer: the connection is dropped"},
        {CURLE_RECV_ERROR, 0, false, "the control connection broke"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seen);
        EXPECT_EQ(IsDataConnectionFailure(c.code, c.reply), c.expected);
    }
}

} // namespace
