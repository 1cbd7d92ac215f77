#include "tests/support/inetd_server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ftptest {

namespace {

constexpr const char* kCache = "/var/cache/quarnel-test";

// The shared libraries a program loads, as ldd names them.
std::vector<std::string> LibrariesOf(const std::string& program) {
    std::vector<std::string> libraries;
    FILE* ldd = ::popen(("/usr/bin/ldd " + program).c_str(), "r");
    if (!ldd)
        return libraries;
    char line[512];
    while (std::fgets(line, sizeof line, ldd)) {
        const char* slash = std::strchr(line, '/');
        if (!slash)
            continue; // the vDSO
        std::string path(slash);
        path = path.substr(0, path.find_first_of(" \n"));
        libraries.push_back(path);
    }
    ::pclose(ldd);
    return libraries;
}

// The inetd, in the forked child: never returns.
// `ready` gets a byte once the namespace is set up, and is closed.
[[noreturn]] void RunInetd(int listener, const std::vector<std::pair<std::string, std::string>>& binds,
                           const std::vector<char*>& argv, int errorFd, int ready) {
    // A mount namespace of our own, so the files put over the system's are seen here only.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        dprintf(errorFd, "inetd: no mount namespace: %s\n", std::strerror(errno));
        ::_exit(126);
    }
    for (const auto& [from, onto] : binds) {
        if (::mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            dprintf(errorFd, "inetd: cannot put %s over %s: %s\n", from.c_str(), onto.c_str(),
                    std::strerror(errno));
            ::_exit(126);
        }
    }
    if (::write(ready, "1", 1) != 1)
        ::_exit(126);
    ::close(ready);
    ::signal(SIGCHLD, SIG_IGN); // the servers are reaped by the system
    for (;;) {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            ::_exit(1);
        }
        const pid_t server = ::fork();
        if (server == 0) {
            ::dup2(connection, 0);
            ::dup2(connection, 1);
            ::dup2(errorFd, 2);
            for (int fd = 3; fd < 1024; ++fd)
                ::close(fd);
            ::signal(SIGCHLD, SIG_DFL);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(connection);
    }
}

} // namespace

const char* InetdFtpServer::Name(InetdFtpd kind) {
    return kind == InetdFtpd::Inetutils ? "inetutils ftpd" : "BSD ftpd";
}

std::string InetdFtpServer::ProgramPath(InetdFtpd kind) {
    const std::string path =
        std::string(kCache) +
        (kind == InetdFtpd::Inetutils ? "/inetutils-ftpd/usr/sbin/ftpd" : "/ftpd-ssl/usr/sbin/in.ftpd");
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

std::vector<std::string> InetdFtpServer::SupportPaths(InetdFtpd kind) {
    if (kind != InetdFtpd::Bsd)
        return {};
    std::vector<std::string> paths = {"bin/ls"};
    for (const std::string& library : LibrariesOf("/bin/ls"))
        paths.push_back(library.substr(1));
    return paths;
}

std::unique_ptr<InetdFtpServer> InetdFtpServer::Start(InetdFtpd kind, const std::string& root) {
    const std::string program = ProgramPath(kind);
    if (program.empty())
        throw std::runtime_error(std::string(Name(kind)) + " is not unpacked under " + kCache +
                                 ": run scripts/install-deps test");
    if (::geteuid() != 0)
        throw std::runtime_error(std::string(Name(kind)) + " must be started as root to chroot its sessions");
    std::unique_ptr<InetdFtpServer> server(new InetdFtpServer());
    server->m_work = std::make_unique<TempDir>("quarnel-inetd");
    const std::string work = server->m_work->path();
    const std::string absRoot = fs::absolute(root).lexically_normal().string();

    // Anonymous sessions are chrooted into ftp's home; the user "ftp" exists here only.
    std::ofstream(work + "/passwd") << "root:x:0:0:root:/root:/bin/sh\n"
                                    << "ftp:x:65534:65534:ftp:" << absRoot << ":/bin/sh\n"
                                    << "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
    std::vector<std::pair<std::string, std::string>> binds = {{work + "/passwd", "/etc/passwd"}};
    std::vector<std::string> args = {program};
    if (kind == InetdFtpd::Inetutils) {
        args.push_back("--anonymous-only");
    } else {
        // The BSD server asks PAM, with the set-up of its own package (pam_ftp for anonymous).
        fs::copy("/etc/pam.d", work + "/pam.d", fs::copy_options::recursive);
        fs::copy_file(std::string(kCache) + "/ftpd-ssl/etc/pam.d/ftp", work + "/pam.d/ftp",
                      fs::copy_options::overwrite_existing);
        binds.emplace_back(work + "/pam.d", "/etc/pam.d");
        for (const std::string& path : SupportPaths(kind)) {
            const std::string from = path == "bin/ls" ? "/bin/ls" : "/" + path;
            fs::create_directories(fs::path(absRoot + "/" + path).parent_path());
            fs::copy_file(from, absRoot + "/" + path, fs::copy_options::overwrite_existing);
        }
        args.push_back("-n");
    }

    const int listener = detail::ListenLoopback(server->m_port);

    // Everything the child needs is made before the fork: it only makes system calls.
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int errorFd = ::open((work + "/errors").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = detail::ForkInOwnGroup();
    if (pid == 0) {
        ::fcntl(listener, F_SETFD, 0);
        ::close(ready[0]);
        RunInetd(listener, binds, argv, errorFd, ready[1]);
    }
    ::close(listener);
    ::close(errorFd);
    ::close(ready[1]);
    server->m_pid = pid;
    char byte = 0;
    const bool started = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!started)
        throw std::runtime_error("inetd did not start: " + server->Errors());
    return server;
}

InetdFtpServer::~InetdFtpServer() {
    detail::StopGroup(m_pid);
}

std::string InetdFtpServer::Errors() const {
    return detail::ReadFile(m_work->path() + "/errors");
}

} // namespace ftptest
