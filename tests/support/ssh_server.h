#pragma once
// OpenSSH's sshd serving SFTP only, for the tests: on 127.0.0.1 and a port the test holds (one
// `sshd -i` started per connection on it), a throw-away ed25519 host key, and sessions chrooted into the
// served root so that "/" is the root of the tree. The test logs in as the user running the tests (sshd must
// start as root to chroot) with a throw-away key, which KeyHome() holds as .ssh/id_ed25519: point HOME there
// and a client finds it as it would a user's own key.
//
// sshd chroots only into a directory whose every parent belongs to root and is writable by
// no one else, which /tmp is not: the server makes its own root under /run, and the test builds
// its tree there.
//
//   auto server = ftptest::SshServer::Start();   // throws std::runtime_error on failure
//   ftptest::TreeBuilder(server->root()).Apply("pub/\n");
//   ... sftp://127.0.0.1:server->port()/ as server->user()

#include "tests/support/FtpServer.h"

#include <memory>
#include <string>
#include <sys/types.h>

namespace ftptest {

class SshServer {
public:
    static std::unique_ptr<SshServer> Start();
    ~SshServer();
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;

    int port() const { return m_port; }
    const std::string& root() const { return m_root; }
    const std::string& user() const { return m_user; }
    // A directory with .ssh/id_ed25519 and its .pub, the key sshd accepts.
    std::string KeyHome() const;
    // The host key's public half as known_hosts takes it ("ssh-ed25519 AAAA...").
    std::string HostKey() const;
    // Gives the server a new host key of `type` (ssh-keygen's -t): the next session sees a
    // different key.
    void ReplaceHostKey(const std::string& type = "ed25519");
    // Ends every session; the server goes on listening.
    void DropSessions();
    // Ends every session and the server, and starts it again on the same port, which stays held
    // meanwhile; returns once the new server answers. On the test's own thread: the new server
    // dies with the thread that started it.
    void Restart();

private:
    SshServer() = default;
    void Launch();
    std::string m_work; // under /run: sshd_config, host key, client key, logs, and the root
    std::string m_root;
    std::string m_user;
    pid_t m_pid = -1; // the process that accepts connections and starts an sshd for each
    int m_listenFd = -1;
    int m_port = 0;
};

} // namespace ftptest
