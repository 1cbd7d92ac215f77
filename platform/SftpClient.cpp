#include "platform/SftpClient.h"

#include "platform/PeerTrust.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

// Codes in FtpResult are CURLcodes, as the FTP client gives them: the crawler classes failures by
// them, whichever protocol met them.

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

// The host key algorithms to offer, those of the keys known for the host first: a server with
// several host keys then shows the one the user accepted. An RSA key signs with SHA-2 where the
// server can, with SHA-1 only for servers too old for that.
std::string HostKeyAlgorithms(const std::vector<std::string>& knownTypes) {
    static const char* const defaults[] = {"ssh-ed25519",
                                           "ecdsa-sha2-nistp521",
                                           "ecdsa-sha2-nistp384",
                                           "ecdsa-sha2-nistp256",
                                           "rsa-sha2-512",
                                           "rsa-sha2-256",
                                           "ssh-rsa"};
    std::vector<std::string> order;
    auto add = [&order](const std::string& name) {
        if (std::find(order.begin(), order.end(), name) == order.end())
            order.push_back(name);
    };
    for (const std::string& type : knownTypes) {
        if (type == "ssh-rsa") {
            add("rsa-sha2-512");
            add("rsa-sha2-256");
        }
        if (std::find(std::begin(defaults), std::end(defaults), type) != std::end(defaults))
            add(type);
    }
    for (const char* name : defaults)
        add(name);
    std::string list;
    for (const std::string& name : order)
        list += (list.empty() ? "" : ",") + name;
    return list;
}

// Watches the blocked calls of one session from a thread of its own: on a stop, at a deadline, or
// when nothing has arrived for the stall time, it shuts the socket down, which ends whatever the
// SSH library waits for at once. The library's calls block and cannot be asked to give up.
class CCallWatch {
public:
    enum class Reason { None, Stopped, Deadline, Stalled };

    explicit CCallWatch(const std::atomic<bool>* stop) : m_stop(stop) {}
    ~CCallWatch() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    CCallWatch(const CCallWatch&) = delete;
    CCallWatch& operator=(const CCallWatch&) = delete;

    // Until Disarm: `fd` is shut down at `deadline`, or when it receives nothing for `stall`.
    void Arm(int fd, Clock::time_point deadline, std::chrono::seconds stall) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fd = fd;
            m_deadline = deadline;
            m_stall = stall;
            m_received = Received(fd);
            m_quietUntil = Clock::now() + stall;
            m_fired = Reason::None;
            m_armed = true;
            if (!m_thread.joinable())
                m_thread = std::thread([this] { Run(); });
        }
        m_wake.notify_all();
    }
    // Why the socket was shut down while armed, or None.
    Reason Disarm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = false;
        m_fd = -1;
        return m_fired;
    }

private:
    static constexpr std::chrono::milliseconds kTick{100};

    // The bytes the socket has received so far, or nullopt where the kernel does not say.
    static std::optional<uint64_t> Received(int fd) {
        tcp_info info{};
        socklen_t size = sizeof info;
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
            size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
            return std::nullopt;
        return info.tcpi_bytes_received;
    }

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            if (!m_armed) {
                m_wake.wait(lock, [this] { return m_quit || m_armed; });
                continue;
            }
            m_wake.wait_for(lock, kTick);
            if (!m_armed || m_quit)
                continue;
            const Clock::time_point now = Clock::now();
            Reason reason = Reason::None;
            if (m_stop && m_stop->load()) {
                reason = Reason::Stopped;
            } else if (now >= m_deadline) {
                reason = Reason::Deadline;
            } else if (const auto received = Received(m_fd); received && received != m_received) {
                m_received = received;
                m_quietUntil = now + m_stall;
            } else if (received && now >= m_quietUntil) {
                reason = Reason::Stalled;
            }
            if (reason != Reason::None) {
                m_fired = reason;
                m_armed = false;
                shutdown(m_fd, SHUT_RDWR);
            }
        }
    }

    const std::atomic<bool>* m_stop;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    bool m_quit = false;
    bool m_armed = false;
    int m_fd = -1;
    Clock::time_point m_deadline, m_quietUntil;
    std::chrono::seconds m_stall{0};
    std::optional<uint64_t> m_received;
    Reason m_fired = Reason::None;
};

class SshSftpConnection final : public IServerConnection {
public:
    SshSftpConnection(std::string knownHostsPath, const std::atomic<bool>* stop, FtpLimits limits)
        : m_hostCheck(std::move(knownHostsPath)), m_stop(stop), m_limits(limits), m_watch(stop) {}
    ~SshSftpConnection() override { Close(); }

    FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                      const std::string& password) override;
    FtpResult ChangeDir(const std::string& absPath) override;
    using IServerConnection::List;
    FtpResult List(FtpDirListing& listing) override;
    bool CanListPath(const std::string& absPath) const override { return UsablePath(absPath); }
    FtpResult ListPath(const std::string& absPath, FtpDirListing& listing) override;
    std::string LastReply() const override { return m_lastError; }
    PeerIdentity RefusedPeer() const override { return m_refused; }
    void Close() override;

private:
    // SFTP sends paths length-prefixed: any byte but NUL, which the library's strings end at.
    static bool UsablePath(const std::string& absPath) {
        return !absPath.empty() && absPath.front() == '/' && absPath.size() <= kMaxFtpPathBytes &&
               absPath.find('\0') == std::string::npos;
    }
    FtpResult Login();
    FtpResult OpenSocket(int& fd);
    FtpResult Fetch(const std::string& absPath, FtpDirListing& listing);
    // The result of a call that failed: what ended it when the watch did (`fired`), else `code`
    // and `text`. A lost session is ended.
    FtpResult Failure(CCallWatch::Reason fired, int code, const std::string& text,
                      FtpStatus status = FtpStatus::Lost);
    // The result of a failed SFTP request: refused when the server answered it with an error
    // status (`status`) and the session goes on, else lost.
    FtpResult RequestFailure(CCallWatch::Reason fired, int status, const char* what);
    bool SessionAlive() const;
    void Arm(long seconds) {
        m_watch.Arm(m_fd, Clock::now() + std::chrono::seconds(seconds),
                    std::chrono::seconds(m_limits.stallTimeoutS));
    }
    void EndSession();

    CSshHostCheck m_hostCheck;
    PeerIdentity m_refused;
    const std::atomic<bool>* m_stop;
    FtpLimits m_limits;
    CCallWatch m_watch;
    ssh_session m_session = nullptr;
    sftp_session m_sftp = nullptr;
    // The session's socket: the library's descriptor, which it closes itself when the connection
    // breaks or the session is freed, and a second one of this program's, which the watch and the
    // checks use without a race against that close.
    int m_libraryFd = -1;
    bool m_fdHanded = false; // the library owns m_libraryFd
    int m_fd = -1;
    std::string m_host, m_user, m_password;
    int m_port = 22;
    std::string m_lastError;
    bool m_dead = true;
    // The listing made by ChangeDir, for the List after it.
    std::string m_currentPath;
    std::optional<FtpDirListing> m_current;
    FtpResult m_currentResult;
};

FtpResult SshSftpConnection::Connect(const std::string& host, int32_t port, const std::string& user,
                                     const std::string& password) {
    Close();
    m_refused = {};
    if (host.empty() || host.size() > 255 ||
        host.find_first_of(std::string_view(" \t\r\n/@?#\0", 10)) != std::string::npos)
        return {FtpStatus::Failed, CURLE_COULDNT_RESOLVE_HOST, "Invalid host name"};
    m_host =
        host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
    m_port = static_cast<int>(static_cast<uint32_t>(port) & 0xFFFFu);
    if (m_port == 0)
        m_port = 22;
    m_user = user;
    m_password = password;
    return Login();
}

FtpResult SshSftpConnection::OpenSocket(int& fd) {
    fd = -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(m_port);
    if (getaddrinfo(m_host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return {FtpStatus::Failed, CURLE_COULDNT_RESOLVE_HOST, "Could not resolve host: " + m_host};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_limits.connectTimeoutMs);
    FtpResult result{FtpStatus::Failed, CURLE_COULDNT_CONNECT, "Could not connect to the server", 0,
                     ECONNREFUSED};
    for (const addrinfo* at = found; at && fd < 0; at = at->ai_next) {
        const int s = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (s < 0)
            continue;
        int error = connect(s, at->ai_addr, at->ai_addrlen) == 0 ? 0 : errno;
        // The connect goes on in the background; a stop or the deadline ends the wait.
        while (error == EINPROGRESS || error == EINTR) {
            if (m_stop && m_stop->load()) {
                close(s);
                freeaddrinfo(found);
                return {FtpStatus::Lost, CURLE_ABORTED_BY_CALLBACK, "Stopped", 0, 0};
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                error = ETIMEDOUT;
                break;
            }
            pollfd watch{s, POLLOUT, 0};
            const int ready = poll(&watch, 1, static_cast<int>(std::min<long long>(left, 100)));
            if (ready > 0) {
                socklen_t size = sizeof error;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
            } else if (ready < 0 && errno != EINTR) {
                error = errno;
            }
        }
        if (error != 0) {
            close(s);
            result.osError = error;
            result.code = error == ETIMEDOUT ? CURLE_OPERATION_TIMEDOUT : CURLE_COULDNT_CONNECT;
            result.text = std::string("Could not connect to the server: ") + std::strerror(error);
            continue;
        }
        // The SSH library waits on the socket itself: blocking again, kept alive.
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
        const int on = 1;
        setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fd = s;
    }
    freeaddrinfo(found);
    return fd >= 0 ? FtpResult{} : result;
}

FtpResult SshSftpConnection::Login() {
    // The file is read before anything is sent: one that cannot be read stops here.
    if (!m_hostCheck.Load())
        return {FtpStatus::Failed, CURLE_READ_ERROR, m_hostCheck.Error()};
    FtpResult opened = OpenSocket(m_libraryFd);
    if (!opened.ok())
        return opened;
    m_fd = fcntl(m_libraryFd, F_DUPFD_CLOEXEC, 0);
    if (m_fd < 0) {
        const int error = errno;
        EndSession();
        return {FtpStatus::Failed, CURLE_COULDNT_CONNECT, std::strerror(error), 0, error};
    }
    m_session = ssh_new();
    if (!m_session) {
        EndSession();
        return {FtpStatus::Failed, CURLE_OUT_OF_MEMORY, "Out of memory"};
    }
    // The session is this program's alone: none of the user's ssh configuration or known hosts
    // (the program's own file is checked below).
    ssh_session s = m_session;
    const bool no = false;
    const unsigned port = static_cast<unsigned>(m_port);
    const std::string algorithms = HostKeyAlgorithms(m_hostCheck.KnownKeyTypes(m_host, m_port));
    ssh_options_set(s, SSH_OPTIONS_FD, &m_libraryFd);
    if (ssh_options_set(s, SSH_OPTIONS_HOST, m_host.c_str()) != SSH_OK ||
        ssh_options_set(s, SSH_OPTIONS_PORT, &port) != SSH_OK ||
        ssh_options_set(s, SSH_OPTIONS_USER, m_user.c_str()) != SSH_OK ||
        ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &no) != SSH_OK ||
        ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, "/dev/null") != SSH_OK ||
        ssh_options_set(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null") != SSH_OK ||
        ssh_options_set(s, SSH_OPTIONS_HOSTKEYS, algorithms.c_str()) != SSH_OK)
        return Failure(CCallWatch::Reason::None, CURLE_FAILED_INIT, ssh_get_error(s), FtpStatus::Failed);

    Arm(m_limits.replyTimeoutS);
    m_fdHanded = true;
    if (ssh_connect(s) != SSH_OK)
        return Failure(m_watch.Disarm(), CURLE_SSH, ssh_get_error(s));
    ssh_key serverKey = nullptr;
    char* base64 = nullptr;
    std::string presented;
    if (ssh_get_server_publickey(s, &serverKey) == SSH_OK &&
        ssh_pki_export_pubkey_base64(serverKey, &base64) == SSH_OK)
        presented = base64;
    ssh_string_free_char(base64);
    ssh_key_free(serverKey);
    // Nothing, the user's name included, goes to a server whose key is not trusted.
    if (presented.empty() || !m_hostCheck.Accept(m_host, m_port, presented)) {
        m_refused = m_hostCheck.Refused();
        return Failure(m_watch.Disarm(), CURLE_PEER_FAILED_VERIFICATION, m_refused.problem,
                       FtpStatus::Failed);
    }

    // The agent's keys, the user's key, then the password as asked either way.
    Arm(m_limits.replyTimeoutS);
    int auth = ssh_userauth_none(s, nullptr);
    const int methods = auth == SSH_AUTH_SUCCESS ? 0 : ssh_userauth_list(s, nullptr);
    if (auth != SSH_AUTH_SUCCESS && auth != SSH_AUTH_ERROR && (methods & SSH_AUTH_METHOD_PUBLICKEY)) {
        const char* agent = std::getenv("SSH_AUTH_SOCK");
        if (agent && *agent) {
            Arm(m_limits.replyTimeoutS);
            auth = ssh_userauth_agent(s, nullptr);
        }
        const std::string keyFile = UserKeyFile();
        ssh_key key = nullptr;
        if (auth != SSH_AUTH_SUCCESS && auth != SSH_AUTH_ERROR && !keyFile.empty() &&
            ssh_pki_import_privkey_file(keyFile.c_str(), nullptr, nullptr, nullptr, &key) == SSH_OK) {
            Arm(m_limits.replyTimeoutS);
            auth = ssh_userauth_publickey(s, nullptr, key);
        }
        ssh_key_free(key);
    }
    if (auth != SSH_AUTH_SUCCESS && auth != SSH_AUTH_ERROR && !m_password.empty() &&
        (methods & SSH_AUTH_METHOD_PASSWORD)) {
        Arm(m_limits.replyTimeoutS);
        auth = ssh_userauth_password(s, nullptr, m_password.c_str());
    }
    if (auth != SSH_AUTH_SUCCESS && auth != SSH_AUTH_ERROR && !m_password.empty() &&
        (methods & SSH_AUTH_METHOD_INTERACTIVE)) {
        // Every hidden prompt is taken for the password, as a one-time code cannot be answered.
        Arm(m_limits.replyTimeoutS);
        auth = ssh_userauth_kbdint(s, nullptr, nullptr);
        for (int round = 0; auth == SSH_AUTH_INFO && round < 4; ++round) {
            const int prompts = ssh_userauth_kbdint_getnprompts(s);
            for (int i = 0; i < prompts; ++i) {
                char echo = 0;
                ssh_userauth_kbdint_getprompt(s, static_cast<unsigned>(i), &echo);
                ssh_userauth_kbdint_setanswer(s, static_cast<unsigned>(i), echo ? "" : m_password.c_str());
            }
            Arm(m_limits.replyTimeoutS);
            auth = ssh_userauth_kbdint(s, nullptr, nullptr);
        }
    }
    if (auth == SSH_AUTH_ERROR)
        return Failure(m_watch.Disarm(), CURLE_SSH, ssh_get_error(s));
    if (auth != SSH_AUTH_SUCCESS)
        return Failure(m_watch.Disarm(), CURLE_LOGIN_DENIED, "Authentication failed", FtpStatus::Failed);

    Arm(m_limits.replyTimeoutS);
    m_sftp = sftp_new(s);
    if (!m_sftp || sftp_init(m_sftp) != SSH_OK)
        return Failure(m_watch.Disarm(), CURLE_SSH,
                       std::string("The server offers no SFTP: ") + ssh_get_error(s));
    if (const CCallWatch::Reason fired = m_watch.Disarm(); fired != CCallWatch::Reason::None)
        return Failure(fired, CURLE_SSH, "");
    m_dead = false;
    m_lastError.clear();
    return {};
}

FtpResult SshSftpConnection::Failure(CCallWatch::Reason fired, int code, const std::string& text,
                                     FtpStatus status) {
    FtpResult result{status, code, text, 0, 0};
    switch (fired) {
    case CCallWatch::Reason::Stopped:
        result = {FtpStatus::Lost, CURLE_ABORTED_BY_CALLBACK, "Stopped", 0, 0};
        break;
    case CCallWatch::Reason::Stalled:
    case CCallWatch::Reason::Deadline:
        result = {FtpStatus::Lost, CURLE_OPERATION_TIMEDOUT, "The server did not answer in time", 0, 0};
        break;
    case CCallWatch::Reason::None:
        break;
    }
    m_lastError = result.text;
    if (result.status == FtpStatus::Lost || !m_sftp)
        EndSession();
    return result;
}

bool SshSftpConnection::SessionAlive() const {
    if (!m_session || !ssh_is_connected(m_session) || m_fd < 0)
        return false;
    // The server's end closed: readable, with nothing to read.
    pollfd watch{m_fd, POLLIN | POLLRDHUP, 0};
    if (poll(&watch, 1, 0) <= 0)
        return true;
    return !(watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

FtpResult SshSftpConnection::RequestFailure(CCallWatch::Reason fired, int status, const char* what) {
    const bool refused = fired == CCallWatch::Reason::None && SessionAlive() && status != SSH_FX_OK &&
                         status != SSH_FX_EOF && status != SSH_FX_NO_CONNECTION &&
                         status != SSH_FX_CONNECTION_LOST;
    if (!refused)
        return Failure(fired, CURLE_RECV_ERROR,
                       std::string("The connection to the server was lost: ") + ssh_get_error(m_session));
    // The session stands: only this directory is closed to this user.
    int code = CURLE_QUOTE_ERROR;
    std::string text = what;
    switch (status) {
    case SSH_FX_NO_SUCH_FILE:
    case SSH_FX_NO_SUCH_PATH:
        code = CURLE_REMOTE_FILE_NOT_FOUND;
        text += ": no such directory";
        break;
    case SSH_FX_PERMISSION_DENIED:
        code = CURLE_REMOTE_ACCESS_DENIED;
        text += ": permission denied";
        break;
    default:
        text += ": " + std::string(ssh_get_error(m_session));
        break;
    }
    m_lastError = text;
    return {FtpStatus::Refused, code, text, 0, 0};
}

FtpResult SshSftpConnection::Fetch(const std::string& absPath, FtpDirListing& listing) {
    listing = FtpDirListing();
    if (!UsablePath(absPath))
        return {FtpStatus::Failed, CURLE_URL_MALFORMAT, "The path cannot be sent to the server"};
    if (m_dead || !m_sftp)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
    if (m_stop && m_stop->load()) {
        EndSession();
        return {FtpStatus::Lost, CURLE_ABORTED_BY_CALLBACK, "Stopped"};
    }
    m_watch.Arm(m_fd, Clock::now() + std::chrono::seconds(m_limits.listingTimeoutS),
                std::chrono::seconds(m_limits.stallTimeoutS));
    // Each name comes in a record of its own, with its length: taken as it is, whatever bytes it
    // holds. Records are counted, stored or not, so an endless listing of "." stops too.
    sftp_dir dir = sftp_opendir(m_sftp, absPath.c_str());
    const int openStatus = dir ? SSH_FX_OK : sftp_get_error(m_sftp);
    std::size_t records = 0;
    bool tooLarge = false, ended = false;
    int closed = SSH_OK;
    while (dir) {
        sftp_attributes attributes = sftp_readdir(m_sftp, dir);
        if (!attributes) {
            ended = sftp_dir_eof(dir) != 0;
            break;
        }
        const std::string_view name(attributes->name ? attributes->name : "");
        ++records;
        if (!name.empty() && name != "." && name != "..") {
            FtpEntry entry;
            entry.name.assign(name);
            // A link is a file: the server reports the link itself, not what it points to.
            entry.isDir = (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS) &&
                          (attributes->permissions & S_IFMT) == S_IFDIR;
            if (!entry.isDir && (attributes->flags & SSH_FILEXFER_ATTR_SIZE))
                entry.size = attributes->size;
            listing.entries.push_back(std::move(entry));
        }
        sftp_attributes_free(attributes);
        if (records > m_limits.maxListingEntries || name.size() > m_limits.maxListingLineBytes) {
            tooLarge = true;
            break;
        }
    }
    // The error of a failed request, before the close of the handle can overwrite it.
    const int requestStatus = dir && !ended && !tooLarge ? sftp_get_error(m_sftp) : SSH_FX_OK;
    if (dir)
        closed = sftp_closedir(dir);
    const CCallWatch::Reason fired = m_watch.Disarm();
    if (!ended || tooLarge || fired != CCallWatch::Reason::None)
        listing = FtpDirListing();
    if (fired == CCallWatch::Reason::Deadline) {
        // The session was cut to end the listing: a new one goes on with the walk.
        EndSession();
        if (!Login().ok())
            EndSession();
        m_lastError = "The listing took too long";
        return {FtpStatus::TooSlow, CURLE_OPERATION_TIMEDOUT, m_lastError};
    }
    if (!dir)
        return RequestFailure(fired, openStatus, "The server refused to list the directory");
    if (!ended && !tooLarge)
        return RequestFailure(fired, requestStatus, "The server broke off the listing");
    if (fired != CCallWatch::Reason::None || (closed != SSH_OK && !SessionAlive()))
        return Failure(fired, CURLE_RECV_ERROR, "The connection to the server was lost");
    if (tooLarge) {
        // Nothing was cut but this listing: the session goes on.
        m_lastError = "The listing is too large";
        return {FtpStatus::TooLarge, CURLE_FILESIZE_EXCEEDED, m_lastError};
    }
    // A directory's entries come in the order the server's file system keeps them; in name
    // order, as FTP servers list them, the stored tree does not depend on the protocol.
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const FtpEntry& a, const FtpEntry& b) { return a.name < b.name; });
    return {};
}

FtpResult SshSftpConnection::ChangeDir(const std::string& absPath) {
    if (m_dead || !m_sftp)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
    if (m_current && m_currentPath == absPath)
        return m_currentResult;
    m_current.emplace();
    m_currentPath = absPath;
    m_currentResult = Fetch(absPath, *m_current);
    if (!m_currentResult.ok())
        m_current.reset();
    return m_currentResult;
}

FtpResult SshSftpConnection::List(FtpDirListing& listing) {
    listing = FtpDirListing();
    if (m_dead || !m_sftp)
        return {FtpStatus::Lost, CURLE_RECV_ERROR, "Not connected to the server"};
    if (!m_current)
        return Fetch(m_currentPath.empty() ? std::string("/") : m_currentPath, listing);
    listing = std::move(*m_current);
    m_current.reset();
    return {};
}

FtpResult SshSftpConnection::ListPath(const std::string& absPath, FtpDirListing& listing) {
    if (m_dead || !m_sftp)
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

void SshSftpConnection::EndSession() {
    // No goodbye is said: the library frees the session by closing the socket, which the server
    // takes as the end. Closing the SFTP channel still writes: a server that has stopped reading
    // must not hold the caller.
    if (m_fd >= 0 && (m_sftp || m_session))
        m_watch.Arm(m_fd, Clock::now() + std::chrono::seconds(1), std::chrono::seconds(1));
    if (m_sftp) {
        sftp_free(m_sftp);
        m_sftp = nullptr;
    }
    if (m_session) {
        ssh_free(m_session);
        m_session = nullptr;
    }
    m_watch.Disarm();
    if (m_libraryFd >= 0 && !m_fdHanded)
        close(m_libraryFd);
    m_libraryFd = -1;
    m_fdHanded = false;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_dead = true;
}

void SshSftpConnection::Close() {
    EndSession();
    m_current.reset();
    m_currentPath.clear();
}

} // namespace

std::unique_ptr<IServerConnection> CreateSftpConnection(const std::string& knownHostsPath,
                                                        const std::atomic<bool>* stop, FtpLimits limits) {
    return std::make_unique<SshSftpConnection>(knownHostsPath, stop, limits);
}
