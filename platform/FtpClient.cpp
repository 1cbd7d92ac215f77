// IServerConnection on libcurl: one easy handle in a private multi handle, so one control connection
// carries a whole walk.
#include "platform/FtpClient.h"

#include "platform/FtpErrors.h"
#include "platform/FtpListing.h"
#include "platform/FtpStatReplies.h"
#include "platform/SftpClient.h"

#include <curl/curl.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxTextBytes = 1023;

// curl 7.88 sometimes moves from the passive-mode reply to opening the data connection without
// asking to be called again, and then waits for its full poll time-out; curl_easy_perform waits
// a whole second there. Driving the transfer ourselves with a short wait bounds that stall.
constexpr int kPollCapMs = 10;

std::string Cut(std::string text) {
    if (text.size() > kMaxTextBytes)
        text.resize(kMaxTextBytes);
    return text;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// A host that can stand in the authority part of a URL without changing its meaning.
bool UsableHost(std::string_view host) {
    if (host.empty())
        return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@')
            return false;
    return true;
}

class CurlFtpConnection final : public IServerConnection {
public:
    CurlFtpConnection(const std::atomic<bool>* stop, FtpLimits limits, ConnectionSecurity security)
        : m_stop(stop), m_limits(limits), m_security(std::move(security)), m_tls(m_security.tlsPin),
          m_statTls(m_security.tlsPin) {}
    ~CurlFtpConnection() override { Close(); }

    FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                      const std::string& password) override;
    FtpResult ChangeDir(const std::string& absPath) override;
    using IServerConnection::List;
    FtpResult List(FtpDirListing& listing) override;
    bool CanListPath(const std::string& absPath) const override;
    FtpResult ListPath(const std::string& absPath, FtpDirListing& listing) override;
    bool OffersStatListing() const override { return !m_dead && m_restStream && !m_useMlsd && !m_statFailed; }
    bool CanStatPath(const std::string& absPath) const override;
    FtpResult StatPaths(const std::vector<std::string>& absPaths,
                        std::vector<FtpStatListing>& replies) override;
    bool OffersUtf8() const override { return m_offersUtf8; }
    FtpResult EnableUtf8() override;
    std::string LastReply() const override { return m_lastReply; }
    PeerIdentity RefusedPeer() const override { return m_tls.Refused(m_connectCode); }
    void Close() override;

private:
    enum class Call { Connect, ChangeDir, List, Command };

    [[nodiscard]] bool SetLoginOptions(CURL* c, CTlsPeerCheck& tls);
    [[nodiscard]] bool SetCommonOptions();
    FtpResult OpenStatChannel();
    FtpResult StatExchange(const std::string& commands, size_t replies, CStatReplyReader& reader);
    void EndStatChannel();
    void ReviveIfDroppedWhileIdle();
    void CloseOrdinary();
    CURLcode Perform(const std::string& url, bool nobody, const char* customRequest);
    CURLcode RunTransfer();
    FtpResult Outcome(Call call, CURLcode code);
    FtpResult LostWithoutSending(int code, std::string text);
    FtpResult NotConnected() const;
    FtpResult LogIn(bool again);
    void LogInAgain();
    FtpResult GiveUpListing(CURLcode code);
    FtpResult SendOptional(const std::string& command);
    bool DirectoryUrl(const std::string& absPath, std::string& url, FtpResult& failure);
    FtpResult ListUrl(std::string url, FtpDirListing& listing, bool byPath);
    bool ConnectionAlive();
    enum class LineEnds { Exact, ListAgain, Unreadable };
    LineEnds CheckLineEnds(bool rejoined) const;
    void OnReplyBytes(std::string_view bytes);
    void OnReplyLine(std::string_view line);
    bool TakeListingBytes(std::string_view bytes);
    void NoteCallbackFailure(const char* what) noexcept;

    // Nothing may unwind through curl's C code: every callback catches, and a failure ends the
    // call, to be reported when curl has returned.
    static int DebugCallback(CURL*, curl_infotype type, char* data, size_t size, void* self) noexcept;
    static size_t WriteCallback(char* data, size_t size, size_t count, void* self) noexcept;
    static int ProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;
    static int StatProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;
    static curl_socket_t OpenSocketCallback(void* self, curlsocktype purpose,
                                            struct curl_sockaddr* address) noexcept;

    const std::atomic<bool>* m_stop;
    FtpLimits m_limits;
    ConnectionSecurity m_security;
    CTlsPeerCheck m_tls;
    int m_connectCode = 0; // the result of the last Connect, for RefusedPeer
    CURL* m_curl = nullptr;
    // Owns the connection cache, so the control connection outlives each transfer. The easy handle
    // stays added after a transfer ends (its connection can then still be looked up), and is
    // removed and added again to start the next one.
    CURLM* m_multi = nullptr;
    bool m_added = false;
    bool m_dead = true; // no connection yet, or it was lost: every call fails without the network
    std::string m_base; // "ftp://host:port"
    std::string m_user, m_password;
    std::string m_dirUrl; // the directory List() lists
    bool m_useMlsd = false;
    bool m_offersUtf8 = false; // FEAT listed UTF8
    bool m_restStream = false; // FEAT listed REST STREAM

    // The control connection that lists with STAT: a second login, kept apart from the one curl
    // runs its transfers on, since curl cannot be handed a connection between its own commands.
    // curl makes it (TLS and the pin as for the first) and stops after the login; the commands
    // and replies then go through curl_easy_send and curl_easy_recv.
    CURL* m_statCurl = nullptr;
    CTlsPeerCheck m_statTls;
    bool m_statFailed = false; // STAT failed once: not asked again on this connection
    // STAT listed since the first connection's last command: the server may have dropped it as
    // idle meanwhile, which loses nothing.
    bool m_ordinaryIdle = false;
    std::mt19937_64 m_nonces{std::random_device{}()};
    // The optional commands this session sent (OPTS MLST, OPTS UTF8 ON), sent again after a new
    // login so that the listings keep their form and their names' encoding.
    std::vector<std::string> m_sessionOptions;
    FtpResult m_lostBecause; // why a new login failed; Ok while none did
    char m_errorBuffer[CURL_ERROR_SIZE] = {};

    // Reply tracking, fed by the debug callback.
    std::string m_partialLine;
    std::vector<std::string> m_performLines; // every reply line of the current call
    std::vector<std::string> m_openReply;    // lines of a multi-line reply still open
    int m_openCode = 0;
    std::string m_lastReply;
    int m_performReplyCode = 0; // code of the last complete reply of the current call

    // The listing being received, parsed as it arrives; empty outside List().
    std::optional<CListingParser> m_listing;
    uint64_t m_listingBytes = 0;         // as curl handed them over
    uint64_t m_listingLineFeeds = 0;     // among them
    size_t m_lineBytes = 0;              // of the listing's unfinished last line
    Clock::time_point m_listingDeadline; // while listing; empty otherwise
    // Why the current call was given up by the client itself.
    enum class GiveUp { None, Size, Entries, Deadline, Exception };
    GiveUp m_giveUp = GiveUp::None;
    char m_callbackError[128] = {}; // what the exception of a callback said

    // curl silently connects and logs in again when it finds its connection closed; after the
    // login, a USER command means exactly that.
    bool m_guardLogin = false;
    bool m_reloginSeen = false;
    unsigned m_controlPort = 0;

    Clock::time_point m_tcpDeadline; // while connecting; empty otherwise
    bool m_tcpTimedOut = false;
};

void CurlFtpConnection::NoteCallbackFailure(const char* what) noexcept {
    m_giveUp = GiveUp::Exception; // the progress callback ends the call
    std::snprintf(m_callbackError, sizeof m_callbackError, "%s", what);
}

int CurlFtpConnection::DebugCallback(CURL*, curl_infotype type, char* data, size_t size,
                                     void* self) noexcept {
    auto* conn = static_cast<CurlFtpConnection*>(self);
    try {
        if (type == CURLINFO_HEADER_IN)
            conn->OnReplyBytes(std::string_view(data, size));
        else if (type == CURLINFO_HEADER_OUT && conn->m_guardLogin &&
                 std::string_view(data, size).substr(0, 5) == "USER ")
            conn->m_reloginSeen = true; // the progress callback ends this call
    } catch (const std::exception& e) {
        conn->NoteCallbackFailure(e.what());
    } catch (...) {
        conn->NoteCallbackFailure("unknown exception");
    }
    return 0;
}

// Once logged in, a new socket to the control port can only be curl replacing a connection it
// found closed: refuse it, so the new login never reaches the server. Data connections go to
// the server's passive ports and pass.
curl_socket_t CurlFtpConnection::OpenSocketCallback(void* self, curlsocktype purpose,
                                                    struct curl_sockaddr* address) noexcept {
    auto* conn = static_cast<CurlFtpConnection*>(self);
    if (conn->m_guardLogin && purpose == CURLSOCKTYPE_IPCXN) {
        unsigned port = 0;
        if (address->family == AF_INET)
            port = ntohs(reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_port);
        else if (address->family == AF_INET6)
            port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_port);
        if (port == conn->m_controlPort) {
            conn->m_reloginSeen = true;
            return CURL_SOCKET_BAD;
        }
    }
    return socket(address->family, address->socktype, address->protocol);
}

// Any other return than `bytes` makes curl end the transfer (CURLE_WRITE_ERROR).
size_t CurlFtpConnection::WriteCallback(char* data, size_t size, size_t count, void* self) noexcept {
    auto* conn = static_cast<CurlFtpConnection*>(self);
    const size_t bytes = size * count;
    try {
        if (conn->TakeListingBytes(std::string_view(data, bytes)))
            return bytes;
    } catch (const std::exception& e) {
        conn->NoteCallbackFailure(e.what());
    } catch (...) {
        conn->NoteCallbackFailure("unknown exception");
    }
    return 0;
}

// Complete lines go to the parser at once; the bytes are not kept.
bool CurlFtpConnection::TakeListingBytes(std::string_view bytes) {
    if (!m_listing)
        return true; // no listing asked for: nothing to keep
    m_listingBytes += bytes.size();
    for (const char *at = bytes.data(), *end = at + bytes.size();
         (at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)))) != nullptr;
         ++at)
        ++m_listingLineFeeds;
    if (!ListingLinesWithin(m_lineBytes, bytes, m_limits.maxListingLineBytes)) {
        m_giveUp = GiveUp::Size;
        return false;
    }
    m_listing->Feed(bytes);
    if (m_listing->EntryCount() > m_limits.maxListingEntries) {
        m_giveUp = GiveUp::Entries;
        return false;
    }
    return true;
}

int CurlFtpConnection::ProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    auto* conn = static_cast<CurlFtpConnection*>(self);
    if (conn->m_reloginSeen || (conn->m_stop && conn->m_stop->load()))
        return 1;
    if (conn->m_giveUp != GiveUp::None)
        return 1; // a callback failed
    if (conn->m_listingDeadline != Clock::time_point() && Clock::now() > conn->m_listingDeadline) {
        conn->m_giveUp = GiveUp::Deadline;
        return 1;
    }
    // The connect time-out covers the TCP connect only; curl's own would cover the login too.
    if (conn->m_tcpDeadline != Clock::time_point() && Clock::now() > conn->m_tcpDeadline) {
        curl_off_t connectedAfter = 0;
        curl_easy_getinfo(conn->m_curl, CURLINFO_CONNECT_TIME_T, &connectedAfter);
        if (connectedAfter == 0) {
            conn->m_tcpTimedOut = true;
            return 1;
        }
        conn->m_tcpDeadline = Clock::time_point();
    }
    return 0;
}

void CurlFtpConnection::OnReplyBytes(std::string_view bytes) {
    // curl hands over whole lines as a rule; keep a partial one until its end arrives.
    while (!bytes.empty()) {
        size_t end = bytes.find('\n');
        if (end == std::string_view::npos) {
            m_partialLine.append(bytes);
            return;
        }
        m_partialLine.append(bytes.substr(0, end));
        bytes.remove_prefix(end + 1);
        std::string line;
        line.swap(m_partialLine);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        OnReplyLine(line);
    }
}

void CurlFtpConnection::OnReplyLine(std::string_view line) {
    m_performLines.emplace_back(line);
    const int code = ReplyCodeOf(line);
    if (m_openCode == 0) {
        if (code != 0 && line.size() > 3 && line[3] == '-') {
            m_openCode = code;
            m_openReply.assign(1, std::string(line));
            return;
        }
        m_lastReply.assign(line);
        m_performReplyCode = code;
        return;
    }
    m_openReply.emplace_back(line);
    if (code == m_openCode && (line.size() == 3 || line[3] == ' ')) {
        m_lastReply.clear();
        for (size_t i = 0; i < m_openReply.size(); ++i) {
            if (i)
                m_lastReply += '\n';
            m_lastReply += m_openReply[i];
        }
        m_performReplyCode = m_openCode;
        m_openCode = 0;
        m_openReply.clear();
    }
}

// What every login of this connection sets: the account, the time-outs, and what its safety
// rests on. False when libcurl refused one of the latter.
bool CurlFtpConnection::SetLoginOptions(CURL* c, CTlsPeerCheck& tls) {
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERNAME, m_user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, m_password.c_str());
    // curl counts the login as part of connecting: allow the TCP connect its own limit (watched
    // by the progress callback) plus a reply time-out for each of banner, USER and PASS.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     m_limits.connectTimeoutMs + 3 * 1000 * m_limits.replyTimeoutS);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, m_limits.replyTimeoutS);
    // No name cache: curl keys it by host and port, so every data connection (a new passive port,
    // at the control connection's numeric address, which needs no look-up) added an entry, kept
    // for a minute and walked at each new connection: the faster a crawl went, the dearer each
    // directory. The host name is looked up once per login, which is nothing worth keeping.
    curl_easy_setopt(c, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
    // What the login's safety rests on is checked: an option libcurl refuses ends the connect
    // before anything is sent. Data only ever to the host we logged in to; the environment's proxy
    // settings must not apply; no scheme but FTP's.
    bool secure = SetSecurityOption(c, CURLOPT_FTP_SKIP_PASV_IP, 1L) &&
                  SetSecurityOption(c, CURLOPT_PROXY, "") && SetSecurityOption(c, CURLOPT_NOPROXY, "*") &&
                  SetSecurityOption(c, CURLOPT_PROTOCOLS_STR, "ftp,ftps");
    if (secure && UsesTls(m_security.protocol)) {
        // Everything encrypted, the login first: a server that does not offer TLS is left
        // before the password is sent. Data connections take up the control connection's TLS
        // session (vsftpd requires it), from curl's session cache.
        secure = SetSecurityOption(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) &&
                 SetSecurityOption(c, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS)) && tls.Apply(c);
    }
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    return secure;
}

bool CurlFtpConnection::SetCommonOptions() {
    CURL* c = m_curl;
    const bool secure = SetLoginOptions(c, m_tls);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_errorBuffer);
    // A data connection that moves nothing would otherwise hang for ever.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, m_limits.stallTimeoutS);
    curl_easy_setopt(c, CURLOPT_FTPPORT, nullptr); // passive, always
    curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L); // the reply lines come through the debug callback
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &CurlFtpConnection::DebugCallback);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::WriteCallback);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlFtpConnection::ProgressCallback);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &CurlFtpConnection::OpenSocketCallback);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, this);
    return secure;
}

CURLcode CurlFtpConnection::Perform(const std::string& url, bool nobody, const char* customRequest) {
    m_errorBuffer[0] = '\0';
    m_performLines.clear();
    m_performReplyCode = 0;
    m_partialLine.clear();
    m_openReply.clear();
    m_openCode = 0;
    m_listingBytes = 0;
    m_listingLineFeeds = 0;
    m_lineBytes = 0;
    m_giveUp = GiveUp::None;
    m_callbackError[0] = '\0';
    m_reloginSeen = false;
    m_tcpTimedOut = false;
    curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_curl, CURLOPT_NOBODY, nobody ? 1L : 0L);
    curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, customRequest);
    return RunTransfer();
}

CURLcode CurlFtpConnection::RunTransfer() {
    if (m_added) {
        curl_multi_remove_handle(m_multi, m_curl);
        m_added = false;
    }
    CURLMcode mcode = curl_multi_add_handle(m_multi, m_curl);
    if (mcode != CURLM_OK)
        return mcode == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    m_added = true;

    // The time-outs and the stop flag are watched by curl and the progress callback on every pass.
    int running = 1;
    mcode = curl_multi_perform(m_multi, &running);
    while (mcode == CURLM_OK && running) {
        mcode = curl_multi_poll(m_multi, nullptr, 0, kPollCapMs, nullptr);
        if (mcode == CURLM_OK)
            mcode = curl_multi_perform(m_multi, &running);
    }
    if (mcode != CURLM_OK) // as curl_easy_perform reports it
        return mcode == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;

    CURLcode result = CURLE_OK;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_curl)
            result = msg->data.result;
    return result;
}

bool CurlFtpConnection::ConnectionAlive() {
    curl_socket_t socket = CURL_SOCKET_BAD;
    return curl_easy_getinfo(m_curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD;
}

FtpResult CurlFtpConnection::LostWithoutSending(int code, std::string text) {
    m_dead = true;
    return {FtpStatus::Lost, code, Cut(std::move(text))};
}

FtpResult CurlFtpConnection::NotConnected() const {
    if (m_lostBecause.status != FtpStatus::Ok)
        return m_lostBecause;
    return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
}

FtpResult CurlFtpConnection::Outcome(Call call, CURLcode code) {
    FtpResult result;
    result.code = code;
    result.status = ClassifyFtpError(code, m_performReplyCode);

    // A new login means curl had lost the old connection: the walk cannot go on as if nothing
    // happened.
    if (m_tcpTimedOut) {
        m_dead = true;
        return {FtpStatus::Lost, CURLE_OPERATION_TIMEDOUT,
                "Connection timed out after " + std::to_string(m_limits.connectTimeoutMs) + " milliseconds"};
    }
    if (call != Call::Connect && m_reloginSeen) {
        m_dead = true;
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "The connection to the server was lost"};
    }
    if (m_giveUp == GiveUp::Exception) { // the replies were not all followed: nothing is certain
        m_dead = true;
        return {FtpStatus::Lost, CURLE_OUT_OF_MEMORY, Cut(m_callbackError)};
    }
    // A listing whose data connection failed says nothing of the directory. The walk goes on if
    // curl kept the control connection; after a refused data port it closes it itself.
    if (call == Call::List && IsDataConnectionFailure(code, m_performReplyCode))
        result.status = ConnectionAlive() ? FtpStatus::DataFailed : FtpStatus::Lost;
    // curl lets a listing answered with 450 pass as an empty one; it is the server's refusal.
    if (result.status == FtpStatus::Ok && call == Call::List && m_performReplyCode >= 400)
        result.status = FtpStatus::Refused;
    if (result.status == FtpStatus::Ok)
        return result;
    if (result.status == FtpStatus::Lost)
        m_dead = true;

    if (m_performReplyCode >= 400)
        result.reply = m_performReplyCode;
    if (code == CURLE_COULDNT_CONNECT) {
        long osError = 0;
        if (curl_easy_getinfo(m_curl, CURLINFO_OS_ERRNO, &osError) == CURLE_OK)
            result.osError = static_cast<int>(osError);
    }
    if (m_performReplyCode >= 400)
        result.text = m_lastReply; // the server said why
    else if (m_errorBuffer[0] != '\0')
        result.text = m_errorBuffer;
    else
        result.text = curl_easy_strerror(code);
    result.text = Cut(std::move(result.text));
    return result;
}

FtpResult CurlFtpConnection::Connect(const std::string& host, int32_t port, const std::string& user,
                                     const std::string& password) {
    Close();
    m_guardLogin = false;
    m_lastReply.clear();
    m_lostBecause = FtpResult();
    m_statFailed = false;
    m_ordinaryIdle = false;
    if (!UsableHost(host))
        return {FtpStatus::Failed, CURLE_COULDNT_RESOLVE_HOST, "Invalid host name"}; // no lookup finds it
    for (const std::string* s : {&user, &password})
        if (s->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return {FtpStatus::Failed, CURLE_LOGIN_DENIED, "The user name or password holds a line break"};

    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    const bool ipv6Literal = host.find(':') != std::string::npos && host.front() != '[';
    unsigned port16 = static_cast<uint32_t>(port) & 0xFFFFu;
    if (port16 == 0)
        port16 = 21;
    m_controlPort = port16;
    if (port == 0 && m_security.protocol == SiteProtocol::FtpImplicitTls)
        port16 = 990;
    m_base = std::string(m_security.protocol == SiteProtocol::FtpImplicitTls ? "ftps://" : "ftp://") +
             (ipv6Literal ? "[" + host + "]" : host) + ":" + std::to_string(port16);
    m_user = user;
    m_password = password;
    const FtpResult result = LogIn(false);
    m_connectCode = result.code;
    return result;
}

// Opens the control connection and logs in. `again`: a new login within the session, which
// keeps what the session decided (MLSD or LIST) and repeats the options it sent.
FtpResult CurlFtpConnection::LogIn(bool again) {
    m_guardLogin = false;
    m_curl = curl_easy_init();
    m_multi = curl_multi_init();
    if (!m_curl || !m_multi)
        return {FtpStatus::Failed, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT)};
    m_dirUrl = m_base + "/";
    if (!SetCommonOptions())
        return {FtpStatus::Failed,
                UsesTls(m_security.protocol) ? CURLE_SSL_CONNECT_ERROR : CURLE_NOT_BUILT_IN,
                "This libcurl cannot enforce the connection's security settings; nothing was sent"};

    if (m_stop && m_stop->load())
        return LostWithoutSending(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));

    // Log in without listing anything, and ask for the features once ("*": a server without
    // FEAT is no failure).
    curl_slist* quote = curl_slist_append(nullptr, "*FEAT");
    curl_easy_setopt(m_curl, CURLOPT_QUOTE, quote);
    m_tcpDeadline = Clock::now() + std::chrono::milliseconds(m_limits.connectTimeoutMs);
    CURLcode code = Perform(m_dirUrl, true, nullptr);
    m_tcpDeadline = Clock::time_point();
    curl_easy_setopt(m_curl, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);

    FtpResult result = Outcome(Call::Connect, code);
    if (result.ok() && UsesTls(m_security.protocol) && !m_tls.Enforced()) {
        // The pinned certificate was never seen to match: whatever let the handshake through,
        // it was not the pin. Drop the session.
        result = {FtpStatus::Failed, CURLE_SSL_CONNECT_ERROR, "The certificate pin was not checked"};
    }
    if (!result.ok()) {
        m_dead = true;
        return result;
    }
    bool mlsd = false;
    bool utf8 = false;
    bool restStream = false;
    std::string mlstOpts;
    for (const std::string& line : m_performLines) {
        std::string_view feature(line);
        if (ReplyCodeOf(feature) != 0)
            continue;
        while (!feature.empty() && feature.front() == ' ')
            feature.remove_prefix(1);
        if (StartsWithNoCase(feature, "MLST") || StartsWithNoCase(feature, "MLSD"))
            mlsd = true;
        if (StartsWithNoCase(feature, "UTF8"))
            utf8 = true;
        if (StartsWithNoCase(feature, "REST STREAM"))
            restStream = true;
        if (mlstOpts.empty())
            mlstOpts = MlstOptsCommand(feature);
    }
    m_dead = false;
    m_guardLogin = true;
    if (!again) {
        m_useMlsd = mlsd;
        m_offersUtf8 = utf8;
        m_restStream = restStream;
        m_sessionOptions.clear();
        // The unique fact tells a link back up the tree from a real directory: ask for it where
        // the server offers it switched off.
        if (m_useMlsd && !mlstOpts.empty())
            m_sessionOptions.push_back(mlstOpts);
    }
    const std::vector<std::string> options = std::move(m_sessionOptions);
    m_sessionOptions.clear(); // SendOptional notes each one again
    for (const std::string& command : options) {
        FtpResult sent = SendOptional(command);
        if (sent.status == FtpStatus::Lost)
            return sent;
    }
    return result;
}

// curl closes the control connection with a transfer it was told to abort half way. The client
// gave the listing up itself, so it knows the server did nothing wrong: a new login lets the
// walk go on. If that fails, the next call reports the connection lost, with the reason.
void CurlFtpConnection::LogInAgain() {
    CloseOrdinary();
    FtpResult again = LogIn(true);
    if (!again.ok()) {
        CloseOrdinary();
        m_lostBecause = again;
        m_lostBecause.status = FtpStatus::Lost;
    }
}

FtpResult CurlFtpConnection::GiveUpListing(CURLcode code) {
    const GiveUp why = m_giveUp;
    m_listing.reset(); // what was parsed goes now, not at the next listing
    FtpResult result;
    result.code = code;
    switch (why) {
    case GiveUp::Deadline:
        result.status = FtpStatus::TooSlow;
        result.text =
            "The directory listing took longer than " + std::to_string(m_limits.listingTimeoutS) + " seconds";
        break;
    case GiveUp::Entries:
        result.status = FtpStatus::TooLarge;
        result.text = "The directory listing holds more than " + std::to_string(m_limits.maxListingEntries) +
                      " entries";
        break;
    case GiveUp::Exception:
        result.status = FtpStatus::TooLarge;
        result.text = Cut(std::string("The directory listing could not be kept: ") + m_callbackError);
        break;
    default:
        result.status = FtpStatus::TooLarge;
        result.text = "The directory listing has a line longer than " +
                      std::to_string(m_limits.maxListingLineBytes) + " bytes";
        break;
    }
    if (!ConnectionAlive())
        LogInAgain();
    return result;
}

// A command whose refusal changes nothing ("*": curl ignores its failure); only a lost
// connection counts.
FtpResult CurlFtpConnection::SendOptional(const std::string& command) {
    if (m_stop && m_stop->load())
        return LostWithoutSending(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
    curl_slist* quote = curl_slist_append(nullptr, ("*" + command).c_str());
    if (!quote)
        return {FtpStatus::Failed, CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY)};
    curl_easy_setopt(m_curl, CURLOPT_QUOTE, quote);
    CURLcode code = Perform(m_dirUrl, true, nullptr);
    curl_easy_setopt(m_curl, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);
    FtpResult result = Outcome(Call::Command, code);
    if (result.status != FtpStatus::Lost)
        m_sessionOptions.push_back(command);
    return result;
}

FtpResult CurlFtpConnection::EnableUtf8() {
    if (m_dead || !m_curl)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server", 0, 0};
    FtpResult sent = SendOptional("OPTS UTF8 ON");
    if (!sent.ok())
        return sent;
    // The refusal of an optional command is no failure for curl: the reply code tells. OPTS is
    // the first command of the call, so its reply is the first one that ends.
    int reply = 0;
    for (const std::string& line : m_performLines) {
        const int code = ReplyCodeOf(line);
        if (code != 0 && (line.size() == 3 || line[3] == ' ')) {
            reply = code;
            break;
        }
    }
    if (reply < 200 || reply >= 300)
        return {FtpStatus::Refused, 0, "OPTS UTF8 ON refused", reply, 0};
    return sent;
}

// The URL of a directory: "/%2F" makes the path absolute; every component is escaped, so any
// byte but these reaches the server unchanged.
bool CurlFtpConnection::DirectoryUrl(const std::string& absPath, std::string& url, FtpResult& failure) {
    if (absPath.empty() || absPath.front() != '/') {
        failure = {FtpStatus::Failed, CURLE_URL_MALFORMAT, "Not an absolute path"};
        return false;
    }
    if (absPath.size() > kMaxFtpPathBytes) {
        failure = {FtpStatus::Failed, CURLE_URL_MALFORMAT, "The path is too long to be sent"};
        return false;
    }
    url = m_base + "/%2F";
    bool first = true;
    size_t start = 1;
    while (start <= absPath.size()) {
        size_t end = absPath.find('/', start);
        if (end == std::string::npos)
            end = absPath.size();
        std::string_view part(absPath.data() + start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        if (part.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            failure = {FtpStatus::Failed, CURLE_URL_MALFORMAT,
                       "The path holds a character no server can be sent"};
            return false;
        }
        char* escaped = curl_easy_escape(m_curl, part.data(), static_cast<int>(part.size()));
        if (!escaped) {
            failure = {FtpStatus::Failed, CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY)};
            return false;
        }
        if (!first)
            url += '/';
        url += escaped;
        curl_free(escaped);
        first = false;
    }
    url += '/';
    return true;
}

FtpResult CurlFtpConnection::ChangeDir(const std::string& absPath) {
    if (m_dead || !m_curl)
        return NotConnected();
    std::string url;
    FtpResult failure;
    if (!DirectoryUrl(absPath, url, failure))
        return failure;

    if (m_stop && m_stop->load())
        return LostWithoutSending(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
    ReviveIfDroppedWhileIdle();
    if (m_dead || !m_curl)
        return NotConnected();
    if (!ConnectionAlive())
        return LostWithoutSending(CURLE_RECV_ERROR, "The connection to the server was lost");

    FtpResult result = Outcome(Call::ChangeDir, Perform(url, true, nullptr));
    if (result.ok())
        m_dirUrl = url;
    return result;
}

FtpResult CurlFtpConnection::List(FtpDirListing& listing) {
    listing = FtpDirListing();
    if (m_dead || !m_curl)
        return NotConnected();
    return ListUrl(m_dirUrl, listing, /*byPath=*/false);
}

// "MLSD /path" is one command line: the path must leave room for the longer verb.
constexpr size_t kMaxListPathBytes = kMaxFtpPathBytes - 1;

// Only MLSD takes its argument as one pathname. What LIST makes of one is up to the server: GNU
// inetutils and BSD ftpd split it at blanks as a shell would and list each word (the second
// against whatever directory the session is in), others expand patterns or read options. A LIST
// is therefore only ever sent after changing to the directory.
bool CurlFtpConnection::CanListPath(const std::string& absPath) const {
    if (!m_useMlsd || absPath.empty() || absPath.front() != '/' || absPath.size() > kMaxListPathBytes)
        return false;
    for (unsigned char c : absPath) {
        if (c < 0x20 || c == 0x7f)
            return false; // curl refuses control bytes in a path it sends as an argument
        switch (c) {
        case '*': // a server that globs arguments against the rules would do it here
        case '?':
        case '[':
        case ']':
        case '{':
        case '}':
        case '~':
        case '\\':
            return false;
        default:
            break;
        }
    }
    return true;
}

FtpResult CurlFtpConnection::ListPath(const std::string& absPath, FtpDirListing& listing) {
    listing = FtpDirListing();
    if (m_dead || !m_curl)
        return NotConnected();
    if (!CanListPath(absPath))
        return {FtpStatus::Failed, CURLE_URL_MALFORMAT, "The path cannot be listed without changing to it"};
    std::string url;
    FtpResult failure;
    if (!DirectoryUrl(absPath, url, failure))
        return failure;
    // The path goes with the listing command; curl leaves the current directory as it was.
    curl_easy_setopt(m_curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    FtpResult result = ListUrl(url, listing, /*byPath=*/true);
    if (m_curl) // a new login within the listing made a new handle with the usual method
        curl_easy_setopt(m_curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    return result;
}

bool CurlFtpConnection::CanStatPath(const std::string& absPath) const {
    if (absPath.empty() || absPath.front() != '/' || absPath.size() > kMaxListPathBytes)
        return false;
    for (unsigned char c : absPath) {
        if (c < 0x20 || c == 0x7f)
            return false;
        switch (c) {
        case '*': // vsftpd takes the last part of a path it cannot open for a pattern
        case '?':
        case '[':
        case ']':
        case '{':
        case '}':
        case '~':
        case '\\':
        case '"':
        case '\'':
            return false;
        default:
            break;
        }
    }
    return true;
}

int CurlFtpConnection::StatProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t,
                                            curl_off_t) noexcept {
    auto* conn = static_cast<CurlFtpConnection*>(self);
    return conn->m_stop && conn->m_stop->load() ? 1 : 0;
}

// The second login, as the first (TLS, the pin) but without FEAT and options: STAT lines come as
// LIST's, whatever was asked of names on the first. TYPE I, since some servers refuse REST in
// ASCII mode.
FtpResult CurlFtpConnection::OpenStatChannel() {
    m_statCurl = curl_easy_init();
    if (!m_statCurl)
        return {FtpStatus::Failed, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT)};
    CURL* c = m_statCurl;
    m_statTls = CTlsPeerCheck(m_security.tlsPin);
    if (!SetLoginOptions(c, m_statTls))
        return {FtpStatus::Failed, CURLE_SSL_CONNECT_ERROR,
                "The connection's security settings cannot be enforced"};
    curl_easy_setopt(c, CURLOPT_URL, (m_base + "/").c_str());
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlFtpConnection::StatProgressCallback);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    const CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK)
        return {FtpStatus::Failed, code, curl_easy_strerror(code)};
    if (UsesTls(m_security.protocol) && !m_statTls.Enforced())
        return {FtpStatus::Failed, CURLE_SSL_CONNECT_ERROR, "The certificate pin was not checked"};
    // What the first connection asked of names (OPTS UTF8 ON) is asked here too.
    std::string commands;
    for (const std::string& option : m_sessionOptions)
        commands += option + "\r\n";
    commands += "TYPE I\r\n";
    CStatReplyReader reader(m_limits.maxListingLineBytes, 0);
    return StatExchange(commands, m_sessionOptions.size() + 1, reader);
}

void CurlFtpConnection::EndStatChannel() {
    if (m_statCurl) {
        curl_easy_cleanup(m_statCurl);
        m_statCurl = nullptr;
    }
}

// Sends `commands` and reads until `replies` replies are complete. Each reply must come within
// the reply time-out of the last bytes, the whole within the listing time-out.
FtpResult CurlFtpConnection::StatExchange(const std::string& commands, size_t replies,
                                          CStatReplyReader& reader) {
    curl_socket_t sock = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_statCurl, CURLINFO_ACTIVESOCKET, &sock) != CURLE_OK || sock == CURL_SOCKET_BAD)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "The connection to the server was lost"};
    const auto end = Clock::now() + std::chrono::seconds(m_limits.listingTimeoutS);
    auto quiet = Clock::now() + std::chrono::seconds(m_limits.replyTimeoutS);
    // Waits for the socket; false at the stop or a time-out.
    const auto await = [&](short events) {
        for (;;) {
            if (m_stop && m_stop->load())
                return false;
            const auto now = Clock::now();
            if (now >= quiet || now >= end)
                return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::min(quiet, end) - now);
            pollfd p{sock, events, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1000)));
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return false;
        }
    };
    const FtpResult lost{FtpStatus::Lost, CURLE_RECV_ERROR, "The connection to the server was lost"};
    for (size_t sent = 0; sent < commands.size();) {
        size_t n = 0;
        const CURLcode code = curl_easy_send(m_statCurl, commands.data() + sent, commands.size() - sent, &n);
        if (code == CURLE_AGAIN) {
            if (!await(POLLOUT))
                return lost;
            continue;
        }
        if (code != CURLE_OK)
            return lost;
        sent += n;
    }
    std::vector<char> buffer(1 << 16);
    while (reader.Count() < replies) {
        size_t n = 0;
        const CURLcode code = curl_easy_recv(m_statCurl, buffer.data(), buffer.size(), &n);
        if (code == CURLE_AGAIN) {
            if (!await(POLLIN))
                return lost;
            continue;
        }
        if (code != CURLE_OK || n == 0)
            return lost;
        quiet = Clock::now() + std::chrono::seconds(m_limits.replyTimeoutS);
        if (!reader.Feed(std::string_view(buffer.data(), n)))
            return {FtpStatus::Failed, 0, reader.Error()};
    }
    return {};
}

FtpResult CurlFtpConnection::StatPaths(const std::vector<std::string>& absPaths,
                                       std::vector<FtpStatListing>& replies) {
    replies.clear();
    if (!OffersStatListing())
        return {FtpStatus::Failed, 0, "Listings over the control connection are not offered", 0, 0};
    std::string commands;
    for (const std::string& path : absPaths) {
        if (!CanStatPath(path))
            return {FtpStatus::Failed, CURLE_URL_MALFORMAT, "The path cannot be sent with STAT"};
        commands += "STAT " + path + "\r\n";
    }
    FtpResult result;
    if (!m_statCurl)
        result = OpenStatChannel();
    // A random number that no listing can know: its echo must come right after the last listing.
    // Fifteen digits, about 50 bits: vsftpd takes no longer offset.
    const uint64_t nonce = 100000000000000ull + m_nonces() % 900000000000000ull;
    commands += "REST " + std::to_string(nonce) + "\r\n";
    CStatReplyReader reader(m_limits.maxListingLineBytes, m_limits.maxListingEntries);
    if (result.ok())
        result = StatExchange(commands, absPaths.size() + 1, reader);
    std::vector<FtpStatListing> got = reader.Take();
    if (result.ok() &&
        (got.size() != absPaths.size() + 1 || !reader.Idle() || !IsRestEcho(got.back(), nonce)))
        result = {FtpStatus::Failed, 0, "The replies to STAT came out of step with the commands"};
    if (!result.ok()) {
        EndStatChannel();
        m_statFailed = true;
        return result;
    }
    got.pop_back();
    replies = std::move(got);
    m_ordinaryIdle = true;
    return result;
}

// After STAT has carried the listings for a while, the first connection may have been dropped
// by the server as idle (a 421, or a close): nothing was lost on it, so it logs in again. On a
// connection in use, anything the server sends unasked means the end, as always.
void CurlFtpConnection::ReviveIfDroppedWhileIdle() {
    if (!m_ordinaryIdle || m_dead || !m_curl)
        return;
    m_ordinaryIdle = false;
    curl_socket_t sock = CURL_SOCKET_BAD;
    bool dropped =
        curl_easy_getinfo(m_curl, CURLINFO_ACTIVESOCKET, &sock) != CURLE_OK || sock == CURL_SOCKET_BAD;
    if (!dropped) {
        pollfd p{sock, POLLIN, 0};
        dropped = ::poll(&p, 1, 0) != 0;
    }
    if (dropped)
        LogInAgain();
}

// `url` is a copy: a new login within the listing resets m_dirUrl. `byPath`: the URL's path goes
// with the command (no change of directory).
FtpResult CurlFtpConnection::ListUrl(std::string url, FtpDirListing& listing, bool byPath) {
    ReviveIfDroppedWhileIdle();
    if (m_dead || !m_curl)
        return NotConnected();
    bool rejoin = true;
    for (;;) {
        if (m_stop && m_stop->load())
            return LostWithoutSending(CURLE_ABORTED_BY_CALLBACK,
                                      curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
        if (!ConnectionAlive())
            return LostWithoutSending(CURLE_RECV_ERROR, "The connection to the server was lost");

        const bool mlsd = m_useMlsd;
        m_listing.emplace(mlsd, rejoin);
        m_listingDeadline = Clock::now() + std::chrono::seconds(m_limits.listingTimeoutS);
        CURLcode code = Perform(url, false, mlsd ? "MLSD" : nullptr);
        m_listingDeadline = Clock::time_point();
        if (m_giveUp != GiveUp::None)
            return GiveUpListing(code);
        // A server that offered MLSD but does not know it after all: LIST from now on. A
        // listing by path is not asked again as a LIST, which would send the path with it: the
        // refusal goes back, and the caller changes to the directory.
        if (mlsd && code == CURLE_FTP_COULDNT_RETR_FILE &&
            (m_performReplyCode == 500 || m_performReplyCode == 502 || m_performReplyCode == 504)) {
            m_useMlsd = false;
            if (!m_reloginSeen && !byPath)
                continue;
        }
        FtpResult result = Outcome(Call::List, code);
        if (result.ok()) {
            m_listing->Finish();
            switch (CheckLineEnds(rejoin)) {
            case LineEnds::Exact:
                break;
            case LineEnds::ListAgain:
                rejoin = false;
                m_listing.reset();
                continue;
            case LineEnds::Unreadable:
                m_listing.reset();
                return {FtpStatus::DataFailed, 0,
                        "The listing holds line breaks inside names that cannot be told apart", 0, 0};
            }
            if (m_listing->EntryCount() > m_limits.maxListingEntries) {
                m_giveUp = GiveUp::Entries; // the last line, which had no line end
                return GiveUpListing(code);
            }
            listing.entries = m_listing->TakeEntries();
            listing.dirId = m_listing->DirId();
            listing.endReply = m_lastReply;
            listing.truncated = IsTruncatedListingReply(m_lastReply);
        }
        m_listing.reset();
        return result;
    }
}

// curl reads listings in ASCII mode, which it cannot be told otherwise, and hands them over with
// every CRLF turned into LF and every CR alone turned into LF as well. The bytes it received tell
// how many CRLFs there were: the other LFs stood for a CR (or an LF) inside a name, which the
// parser joined back with a CR. The listing is exact when the two counts agree. A server whose
// lines end in LF alone leaves nothing to count: its lines are taken as they come.
CurlFtpConnection::LineEnds CurlFtpConnection::CheckLineEnds(bool rejoined) const {
    curl_off_t received = 0;
    curl_easy_getinfo(m_curl, CURLINFO_SIZE_DOWNLOAD_T, &received);
    const uint64_t crlfs = static_cast<uint64_t>(received) > m_listingBytes
                               ? static_cast<uint64_t>(received) - m_listingBytes
                               : 0;
    const uint64_t inNames = crlfs > 0 && m_listingLineFeeds > crlfs ? m_listingLineFeeds - crlfs : 0;
    const size_t joins = m_listing->Joins();
    if (!rejoined || joins == inNames)
        return LineEnds::Exact;
    // Lines that are no entries (notes, blank lines) where no name holds a line break: read as
    // they are.
    return inNames == 0 ? LineEnds::ListAgain : LineEnds::Unreadable;
}

void CurlFtpConnection::Close() {
    EndStatChannel();
    CloseOrdinary();
}

void CurlFtpConnection::CloseOrdinary() {
    if (m_added) {
        curl_multi_remove_handle(m_multi, m_curl);
        m_added = false;
    }
    if (m_multi) { // closes the control connection
        curl_multi_cleanup(m_multi);
        m_multi = nullptr;
    }
    if (m_curl) {
        curl_easy_cleanup(m_curl);
        m_curl = nullptr;
    }
    m_dead = true;
}

} // namespace

bool ListingLinesWithin(size_t& tail, std::string_view bytes, size_t maxLine) {
    for (size_t end; (end = bytes.find('\n')) != std::string_view::npos; bytes.remove_prefix(end + 1)) {
        if (end > maxLine || tail > maxLine - end)
            return false;
        tail = 0;
    }
    tail += bytes.size();
    return tail <= maxLine;
}

std::unique_ptr<IServerConnection> CreateFtpConnection(const std::atomic<bool>* stop, FtpLimits limits,
                                                       ConnectionSecurity security) {
    if (security.protocol == SiteProtocol::Sftp)
        return CreateSftpConnection(security.knownHostsPath, stop, limits);
    return std::make_unique<CurlFtpConnection>(stop, limits, std::move(security));
}
