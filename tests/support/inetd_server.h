#pragma once
// Two more real FTP servers for the tests, each run per connection as inetd runs it: GNU inetutils
// ftpd and the BSD ftpd (Debian's ftpd-ssl). Both conflict with vsftpd as installed packages, so
// scripts/install-deps unpacks them into /var/cache/quarnel-test without installing them.
//
// A small inetd of our own binds a free port on 127.0.0.1, and runs the server for each accepted
// connection with the socket as its standard input and output. The servers serve anonymous
// logins chrooted into the home directory of the user "ftp": the inetd runs in a mount namespace
// of its own, where /etc/passwd (and the BSD server's PAM set-up) are replaced by files naming the
// served tree as that home. Nothing of the system is changed. The BSD server runs /bin/ls inside
// the chroot for LIST: Start() copies ls and its libraries into bin/, lib/ and lib64/ of the
// served tree, which are then part of what it serves.
//
//   auto server = ftptest::InetdFtpServer::Start(ftptest::InetdFtpd::Inetutils, root);
//   ... ftp://127.0.0.1:server->port()/ as "anonymous" with any password

#include "tests/support/FtpServer.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ftptest {

enum class InetdFtpd { Inetutils, Bsd };

class InetdFtpServer {
public:
    // The unpacked program, or empty when install-deps has not unpacked it.
    static std::string ProgramPath(InetdFtpd kind);
    static const char* Name(InetdFtpd kind);
    // The paths Start() adds to the served tree for the server itself ("bin/ls", ...).
    static std::vector<std::string> SupportPaths(InetdFtpd kind);
    // Throws std::runtime_error when the server is not unpacked or the inetd does not start.
    static std::unique_ptr<InetdFtpServer> Start(InetdFtpd kind, const std::string& root);
    ~InetdFtpServer();
    InetdFtpServer(const InetdFtpServer&) = delete;
    InetdFtpServer& operator=(const InetdFtpServer&) = delete;

    int port() const { return m_port; }
    // What the server processes wrote to their standard error.
    std::string Errors() const;

private:
    InetdFtpServer() = default;
    std::unique_ptr<TempDir> m_work; // passwd, PAM files, error output
    pid_t m_pid = -1;                // the inetd; the servers are in its process group
    int m_port = 0;
};

} // namespace ftptest
