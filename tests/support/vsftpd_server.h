#pragma once
// vsftpd (/usr/sbin/vsftpd) as a second real FTP server for the tests: anonymous, read-only,
// on 127.0.0.1 and a free port, passive data connections on 127.0.0.1, its configuration
// written to a temporary directory. vsftpd lists in Unix `ls -l` style (numeric owners, links
// as "name -> target") and has no MLSD; it hides names beginning with ".".
//
//   auto server = ftptest::VsftpdServer::Start(root);   // throws std::runtime_error on failure
//   ... ftp://127.0.0.1:server->port()/ as "anonymous" with any password

#include "tests/support/FtpServer.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ftptest {

class VsftpdServer {
public:
    static std::unique_ptr<VsftpdServer> Start(const std::string& root);
    ~VsftpdServer();
    VsftpdServer(const VsftpdServer&) = delete;
    VsftpdServer& operator=(const VsftpdServer&) = delete;

    int port() const { return m_port; }
    // The commands received so far, as the clients sent them ("CWD /pub", "LIST", "PASV", ...),
    // from vsftpd's protocol log.
    std::vector<std::string> Commands() const;

private:
    VsftpdServer() = default;
    std::unique_ptr<TempDir> m_work; // vsftpd.conf, an empty secure_chroot_dir, the logs
    pid_t m_pid = -1;
    int m_port = 0;
};

} // namespace ftptest
