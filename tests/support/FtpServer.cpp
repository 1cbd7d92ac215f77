#include "tests/support/FtpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ftptest {

namespace {

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

const char* ActionName(PyFtpFault::Action action) {
    switch (action) {
    case PyFtpFault::RefuseCwd:
        return "refuse_cwd";
    case PyFtpFault::DropCwd:
        return "drop_cwd";
    case PyFtpFault::Close421Cwd:
        return "close421_cwd";
    case PyFtpFault::HangUpAfterCwd:
        return "hangup_cwd";
    case PyFtpFault::RefuseList:
        return "refuse_list";
    case PyFtpFault::BusyList:
        return "busy_list";
    case PyFtpFault::DropList:
        return "drop_list";
    case PyFtpFault::Close421List:
        return "close421_list";
    case PyFtpFault::StallList:
        return "stall_list";
    case PyFtpFault::StallData:
        return "stall_data";
    case PyFtpFault::RejectMlsd:
        return "reject_mlsd";
    case PyFtpFault::TruncateList:
        return "truncate_list";
    case PyFtpFault::Reply425List:
        return "reply425_list";
    case PyFtpFault::Reply426List:
        return "reply426_list";
    case PyFtpFault::AbortData:
        return "abort_data";
    case PyFtpFault::RefuseData:
        return "refuse_data";
    case PyFtpFault::EndlessList:
        return "endless_list";
    case PyFtpFault::TrickleList:
        return "trickle_list";
    case PyFtpFault::LongName:
        return "long_name";
    case PyFtpFault::StallGreeting:
        return "stall_greeting";
    case PyFtpFault::StallLogin:
        return "stall_login";
    case PyFtpFault::ReplyLogin:
        return "reply_login";
    case PyFtpFault::ManyNames:
        return "many_names";
    case PyFtpFault::LongLines:
        return "long_lines";
    case PyFtpFault::StatReply:
        return "stat_reply";
    }
    return "refuse_cwd";
}

// Written to a temporary name and renamed, so the server never reads half a file.
void WriteFaults(const std::string& path, const std::vector<PyFtpFault>& faults) {
    std::string json = "{\"faults\": [";
    for (size_t i = 0; i < faults.size(); ++i) {
        json += i ? ", " : "";
        json += "{\"dir_hex\": \"" + Hex(faults[i].dir) + "\", \"action\": \"" +
                ActionName(faults[i].action) + "\", \"times\": " + std::to_string(faults[i].times) +
                ", \"keep\": " + std::to_string(faults[i].keep) + ", \"reply_hex\": \"" +
                Hex(faults[i].reply) + "\"}";
    }
    json += "]}\n";
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << json;
    }
    fs::rename(temp, path);
}

std::string ScriptPath() {
    return std::string(QUARNEL_TEST_SOURCE_DIR) + "/support/ftp_server.py";
}

} // namespace

// ---- TempDir

TempDir::TempDir(std::string_view prefix) {
    std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

// ---- TreeBuilder

TreeBuilder::TreeBuilder(std::string root) : m_root(std::move(root)) {
    fs::create_directories(m_root);
}

std::string TreeBuilder::Full(std::string_view path) const {
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return m_root + "/" + std::string(path);
}

TreeBuilder& TreeBuilder::Dir(std::string_view path) {
    fs::create_directories(Full(path));
    return *this;
}

TreeBuilder& TreeBuilder::File(std::string_view path, uint64_t size) {
    const std::string full = Full(path);
    fs::create_directories(fs::path(full).parent_path());
    int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + full + ": " + std::strerror(errno));
    int rc = ::ftruncate(fd, static_cast<off_t>(size));
    ::close(fd);
    if (rc != 0)
        throw std::runtime_error("cannot size " + full + ": " + std::strerror(errno));
    return *this;
}

TreeBuilder& TreeBuilder::Link(std::string_view path, std::string_view target) {
    const std::string full = Full(path);
    fs::create_directories(fs::path(full).parent_path());
    std::error_code ec;
    fs::remove(full, ec);
    if (::symlink(std::string(target).c_str(), full.c_str()) != 0)
        throw std::runtime_error("cannot link " + full + ": " + std::strerror(errno));
    return *this;
}

TreeBuilder& TreeBuilder::Remove(std::string_view path) {
    fs::remove_all(Full(path));
    return *this;
}

TreeBuilder& TreeBuilder::Apply(std::string_view description) {
    while (!description.empty()) {
        size_t end = description.find('\n');
        std::string_view line = description.substr(0, end);
        description = end == std::string_view::npos ? std::string_view() : description.substr(end + 1);
        if (line.empty())
            continue;
        size_t tab = line.find('\t');
        std::string_view path = line.substr(0, tab);
        std::string_view rest = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        if (rest.substr(0, 3) == "-> ")
            Link(path, rest.substr(3));
        else if (!path.empty() && path.back() == '/')
            Dir(path);
        else
            File(path, rest.empty() ? 0 : std::stoull(std::string(rest)));
    }
    return *this;
}

// ---- processes and ports

namespace detail {

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    if (port == 0)
        throw std::runtime_error("no free port on 127.0.0.1");
    return port;
}

int ListenLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 128) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const std::string error = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1: " + error);
    }
    port = ntohs(addr.sin_port);
    return fd;
}

pid_t ForkInOwnGroup() {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) // the test ended before the signal was asked for
            ::_exit(127);
        return 0;
    }
    ::setpgid(pid, pid); // also here, so the group exists before the caller may stop it
    return pid;
}

pid_t SpawnPerConnection(int listenFd, const std::vector<std::string>& argv, const std::string& errorFile,
                         const std::vector<std::string>& env) {
    // Everything the child needs is made here: between fork and exec only async-signal-safe
    // calls, since the test process has other threads.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = ForkInOwnGroup();
    if (pid == 0) {
        const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        // It execs nothing itself: the test's other descriptors (pipes whose end a test waits
        // for) would stay open here for as long as it runs.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != listenFd && fd != err)
                ::close(fd);
        for (;;) {
            const int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (conn < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                ::_exit(1);
            }
            const pid_t session = ::fork();
            if (session == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                ::dup2(conn, 0);
                ::dup2(conn, 1);
                ::dup2(err, 2);
                ::execve(args[0], args.data(), envp.data());
                ::_exit(127);
            }
            ::close(conn);
        }
    }
    return pid;
}

std::vector<std::string> AccountsFor(const std::string& work, const std::vector<std::string>& passwdLines) {
    std::string missing;
    for (const std::string& line : passwdLines)
        if (!::getpwnam(line.substr(0, line.find(':')).c_str()))
            missing += line + "\n";
    if (missing.empty())
        return {};
    const std::string passwd = work + "/passwd";
    std::ofstream(passwd, std::ios::binary | std::ios::trunc) << ReadFile("/etc/passwd") << missing;
    return {"LD_PRELOAD=libnss_wrapper.so", "NSS_WRAPPER_PASSWD=" + passwd, "NSS_WRAPPER_GROUP=/etc/group"};
}

bool AwaitGreeting(int port, const std::string& greeting, int timeoutMs, std::string* seen) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string got;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(greeting) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (seen)
        *seen = got;
    return got.find(greeting) != std::string::npos;
}

std::string ServerProgram(const std::string& name) {
    const char* cache = std::getenv("QUARNEL_TEST_SERVERS");
    const fs::path unpacked =
        (cache && *cache ? fs::path(cache)
                         : fs::path(QUARNEL_TEST_SOURCE_DIR).parent_path() / ".cache" / "test-servers") /
        "usr" / "sbin" / name;
    if (::access(unpacked.c_str(), X_OK) == 0)
        return unpacked.string();
    return "/usr/sbin/" + name;
}

pid_t Spawn(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, const std::string& errorFile) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ForkInOwnGroup();
    if (pid == 0) {
        int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = stdinFd >= 0 ? stdinFd : ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(stdoutFd >= 0 ? stdoutFd : err, 1);
        ::dup2(err, 2);
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
        ::execv(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    return pid;
}

void KillChildren(pid_t parent) {
    if (parent <= 0)
        return;
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // A process may end between the listing of /proc and the read: its stat is then empty.
        std::string stat;
        const int fd = ::open((entry.path().string() + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buffer[512];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                stat.assign(buffer, static_cast<size_t>(n));
            ::close(fd);
        }
        const size_t close = stat.rfind(')');
        int ppid = 0;
        if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 &&
            ppid == parent)
            children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    for (const pid_t child : children) {
        KillChildren(child);
        ::kill(child, SIGKILL);
    }
}

void StopGroup(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(-pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            ::kill(-pid, SIGKILL); // children of the group (vsftpd's session processes)
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace detail

// ---- PyFtpServer

std::unique_ptr<PyFtpServer> PyFtpServer::Start(const std::string& root, const PyFtpOptions& options) {
    std::unique_ptr<PyFtpServer> server(new PyFtpServer());
    server->m_options = options;
    server->m_work = std::make_unique<TempDir>("quarnel-pyftpd");
    const std::string work = server->m_work->path();
    WriteFaults(work + "/faults.json", options.faults);
    std::ofstream(work + "/commands.log").flush();

    std::vector<std::string> argv = {
        "/usr/bin/python3",     ScriptPath(),         root, "--faults", work + "/faults.json", "--log",
        work + "/commands.log", "--exit-on-stdin-eof"};
    argv.push_back("--user=" + options.user);
    argv.push_back("--password=" + options.password);
    if (!options.anonymous)
        argv.push_back("--no-anonymous");
    if (!options.mlsd)
        argv.push_back("--no-mlsd");
    if (options.unique != PyFtpOptions::UniqueOn)
        argv.push_back(options.unique == PyFtpOptions::UniqueOff ? "--unique=off" : "--unique=none");
    if (options.maxConnectionsPerIp > 0)
        argv.push_back("--max-cons-per-ip=" + std::to_string(options.maxConnectionsPerIp));

    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const std::string errorFile = work + "/server.err";
    server->m_pid = detail::Spawn(argv, inPipe[0], outPipe[1], errorFile);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    server->m_stdinFd = inPipe[1];

    // The script prints its port once it listens.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{outPipe[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[64];
        ssize_t n = ::read(outPipe[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    ::close(outPipe[0]);
    server->m_port = std::atoi(line.c_str());
    if (server->m_port <= 0) {
        std::string err = detail::ReadFile(errorFile);
        throw std::runtime_error("ftp_server.py did not start: " + err);
    }
    return server;
}

PyFtpServer::~PyFtpServer() {
    if (m_stdinFd >= 0)
        ::close(m_stdinFd);
    detail::StopGroup(m_pid);
}

void PyFtpServer::SetFaults(const std::vector<PyFtpFault>& faults) {
    m_options.faults = faults;
    WriteFaults(m_work->path() + "/faults.json", faults);
}

std::vector<std::string> PyFtpServer::Commands() const {
    std::vector<std::string> lines;
    std::string text = detail::ReadFile(m_work->path() + "/commands.log");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break; // a line still being written
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void PyFtpServer::ClearCommands() {
    // Truncated in place: the server appends with O_APPEND, so it goes on at the new end.
    ::truncate((m_work->path() + "/commands.log").c_str(), 0);
}

} // namespace ftptest
