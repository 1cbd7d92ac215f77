#include "tests/support/vsftpd_server.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace ftptest {

namespace {

std::string TlsConfig(VsftpdTls tls, const std::string& work) {
    if (tls == VsftpdTls::None)
        return {};
    return "ssl_enable=YES\n"
           "allow_anon_ssl=YES\n"
           "force_anon_logins_ssl=YES\n"
           "force_anon_data_ssl=YES\n"
           "require_ssl_reuse=YES\n"
           "rsa_cert_file=" +
           work +
           "/cert.pem\n"
           "rsa_private_key_file=" +
           work + "/key.pem\n" + (tls == VsftpdTls::Implicit ? "implicit_ssl=YES\n" : "");
}

void MakeCertificate(const std::string& work) {
    const std::string errorFile = work + "/openssl.err";
    const pid_t pid = detail::Spawn({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                     "-subj", "/CN=localhost", "-days", "2", "-keyout", work + "/key.pem",
                                     "-out", work + "/cert.pem"},
                                    -1, -1, errorFile);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl could not make a certificate: " + detail::ReadFile(errorFile));
}

std::string Config(const std::string& root, const std::string& work) {
    // One vsftpd per connection, the connection on its standard input and output (listen=NO):
    // the test holds the listening socket. Inside a container vsftpd cannot make its own
    // namespaces or seccomp filter. It must start as root: only then does it chroot anonymous
    // sessions into anon_root, so that "/" is the served root; run_as_launching_user would serve
    // the whole file system.
    return "listen=NO\n"
           "listen_ipv6=NO\n"
           "anonymous_enable=YES\n"

           "local_enable=NO\n"
           "anon_root=" +
           root +
           "\n"
           "no_anon_password=YES\n"
           "write_enable=NO\n"
           "anon_upload_enable=NO\n"
           "anon_mkdir_write_enable=NO\n"
           "pasv_enable=YES\n"
           "pasv_address=127.0.0.1\n"
           "connect_from_port_20=NO\n"
           "secure_chroot_dir=" +
           work +
           "/empty\n"
           "seccomp_sandbox=NO\n"
           "isolate=NO\n"
           "isolate_network=NO\n"
           "idle_session_timeout=120\n"
           "data_connection_timeout=120\n"
           "xferlog_enable=YES\n" // needed for vsftpd_log_file, which holds the protocol log
           "xferlog_std_format=NO\n"
           "log_ftp_protocol=YES\n"
           "vsftpd_log_file=" +
           work + "/vsftpd.log\n";
}

} // namespace

std::unique_ptr<VsftpdServer> VsftpdServer::Start(const std::string& root, VsftpdTls tls) {
    std::unique_ptr<VsftpdServer> server(new VsftpdServer());
    server->m_work = std::make_unique<TempDir>("quarnel-vsftpd");
    server->m_tls = tls;
    const std::string work = server->m_work->path();
    std::filesystem::create_directories(work + "/empty");
    const std::string absRoot = std::filesystem::absolute(root).lexically_normal().string();
    server->m_root = absRoot;
    if (::geteuid() != 0)
        throw std::runtime_error("vsftpd must be started as root to chroot its anonymous sessions");
    if (tls != VsftpdTls::None)
        MakeCertificate(work);
    std::ofstream(work + "/vsftpd.conf", std::ios::binary | std::ios::trunc)
        << Config(absRoot, work) << TlsConfig(tls, work);
    server->m_listenFd = detail::ListenLoopback(server->m_port);
    server->Launch("start");
    return server;
}

void VsftpdServer::Launch(const std::string& what) {
    const std::string work = m_work->path();
    // Anonymous sessions run as "ftp", an account vsftpd's package makes; the tests need not
    // install it. vsftpd enters the account's home before anon_root.
    const std::vector<std::string> env =
        detail::AccountsFor(work, {"ftp:x:65534:65534::" + m_root + ":/usr/sbin/nologin"});
    m_pid = detail::SpawnPerConnection(m_listenFd, {detail::ServerProgram("vsftpd"), work + "/vsftpd.conf"},
                                       work + "/vsftpd.err", env);
    // Implicit TLS greets only inside TLS; the other two must greet in the clear. The probe's
    // session is ended so that it is not among the test's.
    std::string said;
    if (m_tls != VsftpdTls::Implicit && !detail::AwaitGreeting(m_port, "220 ", 15000, &said))
        throw std::runtime_error("vsftpd did not " + what + ": " + said +
                                 detail::ReadFile(work + "/vsftpd.err"));
    detail::KillChildren(m_pid);
}

VsftpdServer::~VsftpdServer() {
    detail::KillChildren(m_pid);
    detail::StopGroup(m_pid);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

std::vector<std::string> VsftpdServer::Commands() const {
    // Lines look like: ... [pid 12] FTP command: Client "127.0.0.1", "CWD /pub"
    std::vector<std::string> commands;
    const std::string text = detail::ReadFile(m_work->path() + "/vsftpd.log");
    const std::string marker = "FTP command: Client \"";
    size_t pos = 0;
    while ((pos = text.find(marker, pos)) != std::string::npos) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;
        size_t open = text.find(", \"", pos + marker.size());
        if (open != std::string::npos && open < end && end > open + 3 && text[end - 1] == '"')
            commands.push_back(text.substr(open + 3, end - 1 - (open + 3)));
        pos = end;
    }
    return commands;
}

std::string VsftpdServer::CertificatePem() const {
    return detail::ReadFile(m_work->path() + "/cert.pem");
}

void VsftpdServer::ReplaceCertificate() {
    // vsftpd reads the certificate when it starts.
    MakeCertificate(m_work->path());
    Restart();
}

void VsftpdServer::Restart() {
    // The sessions are in the accepting process's group and end with it; the listening socket
    // stays open here, so the port is never free and a client that connects meanwhile waits for
    // the new server, which reads the configuration and certificate afresh for each connection.
    detail::KillChildren(m_pid);
    detail::StopGroup(m_pid);
    m_pid = -1;
    Launch("start again");
}

} // namespace ftptest
