#include "platform/SftpClient.h"

#include "platform/FtpListing.h"
#include "platform/PeerTrust.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

std::string UserKeyFile() {
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
        const std::string path = std::string(home) + "/.ssh/" + name;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            return path;
    }
    return {};
}

class CurlSftpConnection final : public IFtpConnection {
public:
    CurlSftpConnection(std::string knownHostsPath, const std::atomic<bool>* stop, FtpLimits limits)
        : m_hostCheck(std::move(knownHostsPath)), m_stop(stop), m_limits(limits) {}
    ~CurlSftpConnection() override { Close(); }

    FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                      const std::string& password) override;
    FtpResult ChangeDir(const std::string& absPath) override;
    using IFtpConnection::List;
    FtpResult List(FtpDirListing& listing) override;
    bool CanListPath(const std::string& absPath) const override { return UsablePath(absPath); }
    FtpResult ListPath(const std::string& absPath, FtpDirListing& listing) override;
    std::string LastReply() const override { return m_lastError; }
    PeerIdentity RefusedPeer() const override { return m_hostCheck.Refused(); }
    void Close() override;

private:
    static bool UsablePath(const std::string& absPath);
    static size_t OnWrite(char* data, size_t size, size_t count, void* self) noexcept;
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;
    static curl_socket_t OnOpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address) noexcept;
    FtpResult Fetch(const std::string& absPath, FtpDirListing& listing);
    FtpResult Outcome(CURLcode code);
    bool SessionAlive() const;

    CSshHostCheck m_hostCheck;
    const std::atomic<bool>* m_stop;
    FtpLimits m_limits;
    CURL* m_curl = nullptr;
    std::string m_base, m_user, m_password, m_keyFile;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
    std::string m_lastError;
    bool m_dead = true;
    bool m_loggedIn = false; // from now on a new socket is curl replacing a lost session
    bool m_reconnectSeen = false;
    // The listing made by ChangeDir, for the List after it.
    std::string m_currentPath;
    std::optional<FtpDirListing> m_current;
    FtpResult m_currentResult;
    // The listing being received.
    std::optional<CListingParser> m_parser;
    size_t m_lineBytes = 0; // of the listing's unfinished last line
    enum class GiveUp { None, Size, Entries, Deadline, Exception } m_giveUp = GiveUp::None;
    Clock::time_point m_deadline;
};

bool CurlSftpConnection::UsablePath(const std::string& absPath) {
    return !absPath.empty() && absPath.front() == '/' && absPath.size() <= kMaxFtpPathBytes &&
           absPath.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

size_t CurlSftpConnection::OnWrite(char* data, size_t size, size_t count, void* self) noexcept {
    auto* conn = static_cast<CurlSftpConnection*>(self);
    const size_t bytes = size * count;
    try {
        if (!conn->m_parser)
            return bytes;
        if (!ListingLinesWithin(conn->m_lineBytes, std::string_view(data, bytes),
                                conn->m_limits.maxListingLineBytes)) {
            conn->m_giveUp = GiveUp::Size;
            return 0;
        }
        conn->m_parser->Feed(std::string_view(data, bytes));
        if (conn->m_parser->EntryCount() > conn->m_limits.maxListingEntries) {
            conn->m_giveUp = GiveUp::Entries;
            return 0;
        }
        return bytes;
    } catch (...) {
        conn->m_giveUp = GiveUp::Exception;
        return 0;
    }
}

int CurlSftpConnection::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    auto* conn = static_cast<CurlSftpConnection*>(self);
    if (conn->m_reconnectSeen || (conn->m_stop && conn->m_stop->load()))
        return 1;
    if (conn->m_deadline != Clock::time_point() && Clock::now() > conn->m_deadline) {
        conn->m_giveUp = GiveUp::Deadline;
        return 1;
    }
    return 0;
}

// Once logged in, curl opens a socket only to replace a session it found closed: refused, so
// that the crawler hears of the loss as on FTP and resumes the walk the way it does there.
curl_socket_t CurlSftpConnection::OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address) noexcept {
    auto* conn = static_cast<CurlSftpConnection*>(self);
    if (conn->m_loggedIn) {
        conn->m_reconnectSeen = true;
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype, address->protocol);
}

FtpResult CurlSftpConnection::Connect(const std::string& host, int32_t port, const std::string& user,
                                      const std::string& password) {
    Close();
    if (host.empty() || host.find_first_of(" \t\r\n/@?#") != std::string::npos)
        return {FtpStatus::Failed, CURLE_COULDNT_RESOLVE_HOST, "Invalid host name"};
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    unsigned port16 = static_cast<uint32_t>(port) & 0xFFFFu;
    if (port16 == 0)
        port16 = 22;
    const bool ipv6Literal = host.find(':') != std::string::npos && host.front() != '[';
    m_base = "sftp://" + (ipv6Literal ? "[" + host + "]" : host) + ":" + std::to_string(port16);
    m_user = user;
    m_password = password;
    m_keyFile = UserKeyFile();
    m_curl = curl_easy_init();
    if (!m_curl)
        return {FtpStatus::Failed, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT)};
    CURL* c = m_curl;
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "sftp");
    curl_easy_setopt(c, CURLOPT_USERNAME, m_user.c_str());
    long auth = CURLSSH_AUTH_PUBLICKEY | CURLSSH_AUTH_AGENT;
    if (!m_password.empty()) {
        curl_easy_setopt(c, CURLOPT_PASSWORD, m_password.c_str());
        auth |= CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD;
    }
    curl_easy_setopt(c, CURLOPT_SSH_AUTH_TYPES, auth);
    if (!m_keyFile.empty())
        curl_easy_setopt(c, CURLOPT_SSH_PRIVATE_KEYFILE, m_keyFile.c_str());
    m_hostCheck.Apply(c);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_limits.connectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, m_limits.stallTimeoutS);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlSftpConnection::OnWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlSftpConnection::OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &CurlSftpConnection::OnOpenSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, this);

    // The login lists the root, which the walk asks for first. A refused root is no failed
    // login: the walk meets the refusal at its first change of directory.
    FtpDirListing root;
    FtpResult result = Fetch("/", root);
    if (!result.ok() && result.status != FtpStatus::Refused) {
        Close();
        return result;
    }
    m_dead = false;
    m_loggedIn = true;
    m_currentPath = "/";
    m_current = std::move(root);
    m_currentResult = result;
    return {};
}

FtpResult CurlSftpConnection::Fetch(const std::string& absPath, FtpDirListing& listing) {
    listing = FtpDirListing();
    if (!UsablePath(absPath))
        return {FtpStatus::Failed, CURLE_URL_MALFORMAT, "The path cannot be sent to the server"};
    if (m_stop && m_stop->load()) {
        m_dead = true;
        return {FtpStatus::Lost, CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK)};
    }
    std::string url = m_base;
    size_t start = 1;
    while (start <= absPath.size()) {
        size_t end = absPath.find('/', start);
        if (end == std::string::npos)
            end = absPath.size();
        const std::string_view part(absPath.data() + start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        char* escaped = curl_easy_escape(m_curl, part.data(), static_cast<int>(part.size()));
        if (!escaped)
            return {FtpStatus::Failed, CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY)};
        url += '/';
        url += escaped;
        curl_free(escaped);
    }
    url += '/'; // a directory: curl lists it
    m_errorBuffer[0] = '\0';
    m_parser.emplace(false);
    m_lineBytes = 0;
    m_giveUp = GiveUp::None;
    m_reconnectSeen = false;
    m_deadline = Clock::now() + std::chrono::seconds(m_limits.listingTimeoutS);
    curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    const CURLcode code = curl_easy_perform(m_curl);
    m_deadline = Clock::time_point();
    FtpResult result = Outcome(code);
    if (result.ok()) {
        m_parser->Finish();
        listing.entries = m_parser->TakeEntries();
        // A directory's entries come in the order the server's file system keeps them; in name
        // order, as FTP servers list them, the stored tree does not depend on the protocol.
        std::sort(listing.entries.begin(), listing.entries.end(),
                  [](const FtpEntry& a, const FtpEntry& b) { return a.name < b.name; });
    }
    m_parser.reset();
    return result;
}

FtpResult CurlSftpConnection::Outcome(CURLcode code) {
    m_lastError = m_errorBuffer[0] ? m_errorBuffer : (code ? curl_easy_strerror(code) : "");
    if (code == CURLE_OK)
        return {};
    FtpResult result{FtpStatus::Lost, code, m_lastError, 0, 0};
    if (m_reconnectSeen) {
        result.text = "The connection to the server was lost";
    } else if (m_giveUp == GiveUp::Size || m_giveUp == GiveUp::Entries || m_giveUp == GiveUp::Deadline) {
        // The session is still sound: nothing was cut but this listing.
        result.status = m_giveUp == GiveUp::Deadline ? FtpStatus::TooSlow : FtpStatus::TooLarge;
        result.text = m_giveUp == GiveUp::Deadline ? "The listing took too long" : "The listing is too large";
        return result;
    } else if (m_giveUp == GiveUp::Exception) {
        result.text = "Out of memory";
    } else {
        switch (code) {
        case CURLE_REMOTE_FILE_NOT_FOUND: // no such directory
        case CURLE_REMOTE_ACCESS_DENIED:  // permission denied
        case CURLE_QUOTE_ERROR:
            // The session stands (at the login too: only the root is closed to this user). A
            // session that died reports the last SFTP error again: that is no refusal.
            if (!SessionAlive()) {
                result.text = "The connection to the server was lost";
                break;
            }
            result.status = FtpStatus::Refused;
            return result;
        case CURLE_LOGIN_DENIED:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_URL_MALFORMAT:
            result.status = FtpStatus::Failed;
            break;
        default: // the session broke: time-outs, resets, SSH protocol errors
            break;
        }
    }
    if (result.status == FtpStatus::Lost)
        m_dead = true;
    return result;
}

bool CurlSftpConnection::SessionAlive() const {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return false;
    // The server's end closed: readable, with nothing to read.
    pollfd watch{socket, POLLIN | POLLRDHUP, 0};
    if (poll(&watch, 1, 0) <= 0)
        return true;
    if (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
        return false;
    char byte = 0;
    return recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
}

FtpResult CurlSftpConnection::ChangeDir(const std::string& absPath) {
    if (m_dead || !m_curl)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
    if (m_current && m_currentPath == absPath)
        return m_currentResult; // listed at the login already
    m_current.emplace();
    m_currentPath = absPath;
    m_currentResult = Fetch(absPath, *m_current);
    if (!m_currentResult.ok())
        m_current.reset();
    return m_currentResult;
}

FtpResult CurlSftpConnection::List(FtpDirListing& listing) {
    listing = FtpDirListing();
    if (m_dead || !m_curl)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
    if (!m_current)
        return Fetch(m_currentPath.empty() ? std::string("/") : m_currentPath, listing);
    listing = std::move(*m_current);
    m_current.reset();
    return {};
}

FtpResult CurlSftpConnection::ListPath(const std::string& absPath, FtpDirListing& listing) {
    if (m_dead || !m_curl)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
    if (m_current && m_currentPath == absPath) {
        FtpResult result = m_currentResult;
        listing = std::move(*m_current);
        m_current.reset();
        return result;
    }
    // A refusal is the path's, as a refused change of directory: the crawler asks ChangeDir,
    // which meets it again.
    m_current.reset();
    return Fetch(absPath, listing);
}

void CurlSftpConnection::Close() {
    if (m_curl) {
        curl_easy_cleanup(m_curl);
        m_curl = nullptr;
    }
    m_dead = true;
    m_loggedIn = false;
    m_current.reset();
    m_currentPath.clear();
}

} // namespace

std::unique_ptr<IFtpConnection> CreateSftpConnection(const std::string& knownHostsPath,
                                                     const std::atomic<bool>* stop, FtpLimits limits) {
    return std::make_unique<CurlSftpConnection>(knownHostsPath, stop, limits);
}
