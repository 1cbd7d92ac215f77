#include "tests/support/ssh_server.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ftptest {

namespace {

// Runs a short tool to its end; throws when it fails.
void Run(const std::vector<std::string>& argv, const std::string& errorFile) {
    const pid_t pid = detail::Spawn(argv, -1, -1, errorFile);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed: " + detail::ReadFile(errorFile));
}

std::string Config(const std::string& work, const std::string& root) {
    return "HostKey " + work +
           "/host_key\n"
           "PidFile none\n"
           "UsePAM no\n"
           "PasswordAuthentication no\n"
           "KbdInteractiveAuthentication no\n"
           "PubkeyAuthentication yes\n"
           "PermitRootLogin prohibit-password\n"
           "AuthorizedKeysFile " +
           work +
           "/authorized_keys\n"
           "StrictModes no\n"
           "Subsystem sftp internal-sftp\n"
           "ForceCommand internal-sftp\n"
           "ChrootDirectory " +
           root +
           "\n"
           "AllowTcpForwarding no\n"
           "X11Forwarding no\n"
           "LogLevel ERROR\n";
}

} // namespace

std::unique_ptr<SshServer> SshServer::Start() {
    if (::geteuid() != 0)
        throw std::runtime_error("sshd must be started as root to chroot its sessions");
    std::unique_ptr<SshServer> server(new SshServer());
    std::string pattern = "/run/quarnel-sshd-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a directory under /run");
    server->m_work = pattern;
    const std::string work = server->m_work;
    ::chmod(work.c_str(), 0755);
    server->m_root = work + "/root";
    std::filesystem::create_directories(server->m_root);
    const passwd* me = ::getpwuid(::geteuid());
    server->m_user = me ? me->pw_name : "root";
    // sshd's privilege separation directory; the package makes it only when its service starts.
    ::mkdir("/run/sshd", 0755);
    std::filesystem::create_directories(work + "/home/.ssh");
    const std::string err = work + "/keygen.err";
    Run({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", work + "/host_key"}, err);
    Run({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", work + "/home/.ssh/id_ed25519"}, err);
    std::filesystem::copy_file(work + "/home/.ssh/id_ed25519.pub", work + "/authorized_keys");
    std::ofstream(work + "/sshd_config", std::ios::binary | std::ios::trunc) << Config(work, server->m_root);
    server->m_listenFd = detail::ListenLoopback(server->m_port);
    server->Launch();
    return server;
}

void SshServer::Launch() {
    const std::string& work = m_work;
    // sshd -i: one sshd per connection, the connection on its standard input and output; it reads
    // its configuration and host key afresh each time. -e: errors to the error file.
    // The unprivileged user of sshd's pre-authentication process is made by the openssh-server
    // package, which the tests need not install.
    const std::vector<std::string> env =
        detail::AccountsFor(work, {"sshd:x:65534:65534::/run/sshd:/usr/sbin/nologin"});
    m_pid = detail::SpawnPerConnection(
        m_listenFd, {detail::ServerProgram("sshd"), "-i", "-e", "-f", work + "/sshd_config"},
        work + "/sshd.err", env);
    std::string said;
    if (!detail::AwaitGreeting(m_port, "SSH-2.0-", 15000, &said))
        throw std::runtime_error("sshd did not start: " + said + detail::ReadFile(work + "/sshd.err"));
    DropSessions(); // the probe's
}

SshServer::~SshServer() {
    DropSessions();
    detail::StopGroup(m_pid);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    std::error_code ignored;
    std::filesystem::remove_all(m_work, ignored);
}

std::string SshServer::KeyHome() const {
    return m_work + "/home";
}

std::string SshServer::HostKey() const {
    std::string line = detail::ReadFile(m_work + "/host_key.pub");
    // "type base64 comment": the comment is not part of the key.
    const std::size_t second = line.find(' ', line.find(' ') + 1);
    return line.substr(0, second == std::string::npos ? line.find('\n') : second);
}

void SshServer::ReplaceHostKey(const std::string& type) {
    const std::string work = m_work;
    std::filesystem::remove(work + "/host_key");
    std::filesystem::remove(work + "/host_key.pub");
    Run({"/usr/bin/ssh-keygen", "-q", "-t", type, "-N", "", "-f", work + "/host_key"}, work + "/keygen.err");
    Restart();
}

void SshServer::DropSessions() {
    // Each session leaves the server's process group (setsid): they are found by parent.
    detail::KillChildren(m_pid);
}

void SshServer::Restart() {
    // The listening socket stays open here: the port is never free, and a client that connects
    // meanwhile waits for the new server.
    DropSessions();
    detail::StopGroup(m_pid);
    m_pid = -1;
    Launch();
}

} // namespace ftptest
