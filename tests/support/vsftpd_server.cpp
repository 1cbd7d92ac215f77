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

std::string Config(const std::string& root, const std::string& work, int port) {
    // Inside a container vsftpd cannot make its own namespaces or seccomp filter. It must start
    // as root: only then does it chroot anonymous sessions into anon_root (as "ftp"), so that
    // "/" is the served root; run_as_launching_user would serve the whole file system.
    return "listen=YES\n"
           "listen_ipv6=NO\n"
           "listen_address=127.0.0.1\n"
           "listen_port=" +
           std::to_string(port) +
           "\n"
           "background=NO\n"
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
           "max_clients=64\n"
           "max_per_ip=64\n"
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
    const std::string work = server->m_work->path();
    std::filesystem::create_directories(work + "/empty");
    const std::string absRoot = std::filesystem::absolute(root).lexically_normal().string();
    const std::string errorFile = work + "/vsftpd.err";
    if (::geteuid() != 0)
        throw std::runtime_error("vsftpd must be started as root to chroot its anonymous sessions");
    if (tls != VsftpdTls::None)
        MakeCertificate(work);

    // The port is chosen here and could be taken by someone else before vsftpd binds it: retry.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = detail::FreeLoopbackPort();
        const std::string conf = work + "/vsftpd.conf";
        std::ofstream(conf, std::ios::binary | std::ios::trunc)
            << Config(absRoot, work, port) << TlsConfig(tls, work);
        const pid_t pid = detail::Spawn({"/usr/sbin/vsftpd", conf}, -1, -1, errorFile);
        bool exited = false;
        for (int i = 0; i < 100 && !exited; ++i) {
            if (detail::WaitForPort(port, 50)) {
                server->m_pid = pid;
                server->m_port = port;
                return server;
            }
            exited = ::waitpid(pid, nullptr, WNOHANG) == pid;
        }
        if (exited)
            ::kill(-pid, SIGKILL);
        else
            detail::StopGroup(pid);
    }
    throw std::runtime_error("vsftpd did not start: " + detail::ReadFile(errorFile));
}

VsftpdServer::~VsftpdServer() {
    detail::StopGroup(m_pid);
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
    // The sessions are in the server's process group and end with it.
    const std::string work = m_work->path();
    detail::StopGroup(m_pid);
    m_pid = detail::Spawn({"/usr/sbin/vsftpd", work + "/vsftpd.conf"}, -1, -1, work + "/vsftpd.err");
    if (!detail::WaitForPort(m_port, 5000))
        throw std::runtime_error("vsftpd did not start again: " + detail::ReadFile(work + "/vsftpd.err"));
}

} // namespace ftptest
