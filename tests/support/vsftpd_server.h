#pragma once
// vsftpd as a second real FTP server for the tests: anonymous, read-only, on 127.0.0.1 and a
// port the test holds (one vsftpd started per connection on it), passive data connections on
// 127.0.0.1, its configuration written to a temporary directory. vsftpd lists in Unix `ls -l` style (numeric
// owners, links as "name -> target") and has no MLSD; it hides names beginning with ".".
//
//   auto server = ftptest::VsftpdServer::Start(root);   // throws std::runtime_error on failure
//   ... ftp://127.0.0.1:server->port()/ as "anonymous" with any password

#include "tests/support/FtpServer.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ftptest {

// TLS on the control and data connections, with a throw-away self-signed certificate made by
// openssl for the server: AUTH TLS required before the login (explicit), or TLS from the
// connect on (implicit). Data connections must reuse the control connection's TLS session.
enum class VsftpdTls { None, Explicit, Implicit };

class VsftpdServer {
public:
    static std::unique_ptr<VsftpdServer> Start(const std::string& root, VsftpdTls tls = VsftpdTls::None);
    ~VsftpdServer();
    VsftpdServer(const VsftpdServer&) = delete;
    VsftpdServer& operator=(const VsftpdServer&) = delete;

    int port() const { return m_port; }
    // The commands received so far, as the clients sent them ("CWD /pub", "LIST", "PASV", ...),
    // from vsftpd's protocol log.
    std::vector<std::string> Commands() const;
    // The certificate in PEM, and a new one in its place for the sessions that follow.
    std::string CertificatePem() const;
    void ReplaceCertificate();
    // Ends every session and the server, and starts it again on the same port, which stays held
    // meanwhile; returns once the new server answers. On the test's own thread: the new server
    // dies with the thread that started it.
    void Restart();
    // Ends every session; the server goes on listening.
    void DropSessions() { detail::KillChildren(m_pid); }

private:
    VsftpdServer() = default;
    void Launch(const std::string& what);
    std::unique_ptr<TempDir> m_work; // vsftpd.conf, an empty secure_chroot_dir, the logs
    std::string m_root;
    VsftpdTls m_tls = VsftpdTls::None;
    pid_t m_pid = -1; // the process that accepts connections and starts a vsftpd for each
    int m_listenFd = -1;
    int m_port = 0;
};

} // namespace ftptest
