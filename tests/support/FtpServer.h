#pragma once
// Real FTP servers on 127.0.0.1 for the tests, and the directory trees they serve.
//
//   ftptest::TempDir dir;                         // removed with everything below it
//   ftptest::TreeBuilder(dir.path() + "/root")
//       .Dir("pub/a b")
//       .File("pub/big.iso", 5ull << 30)          // sparse: costs no disk
//       .Link("pub/latest", "big.iso");
//   auto server = ftptest::PyFtpServer::Start(dir.path() + "/root");
//   ... connect to 127.0.0.1:server->port() as anonymous or server->user()/server->password()
//
// Start() throws std::runtime_error (with the server's own error output) when the server does
// not come up. The destructor stops the server and every process it started. A server also dies
// with the thread that started it (PR_SET_PDEATHSIG), so start it on the test's own thread.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace ftptest {

// A fresh directory under /tmp, removed recursively by the destructor.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "quarnel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Builds a served tree under a root directory. Paths are relative to the root, "/"-separated,
// each component raw bytes (GBK or UTF-8 alike); missing parent directories are created.
class TreeBuilder {
public:
    explicit TreeBuilder(std::string root);
    TreeBuilder& Dir(std::string_view path);
    // A file of `size` bytes; its content is a hole (ftruncate), so 5 GiB cost nothing.
    TreeBuilder& File(std::string_view path, uint64_t size = 0);
    // A symbolic link holding `target` as given (relative targets resolve inside the tree).
    TreeBuilder& Link(std::string_view path, std::string_view target);
    // Removes a file, link or whole directory.
    TreeBuilder& Remove(std::string_view path);
    // A compact description, one entry per line:
    //   "dir/sub/"            a directory (trailing slash)
    //   "dir/file.txt"        an empty file
    //   "dir/file.txt\t1234"  a file of 1234 bytes (a tab before the size)
    //   "dir/link\t-> target" a symbolic link
    TreeBuilder& Apply(std::string_view description);
    const std::string& root() const { return m_root; }

private:
    std::string Full(std::string_view path) const;
    std::string m_root;
};

// A fault the pyftpdlib server injects when a directory is entered or listed. `dir` matches the
// directory's whole path when it starts with "/" (e.g. "/pub/a"), else its last component; raw
// bytes. `times` > 0: only the first `times` matches fail, later ones succeed (so a client that
// comes back can get further); 0: every time.
struct PyFtpFault {
    enum Action {
        RefuseCwd,      // 550 to CWD
        DropCwd,        // the server closes the control connection on CWD, no reply
        Close421Cwd,    // 421 to CWD, then closes
        HangUpAfterCwd, // a normal reply to CWD, then closes (the client finds out later)
        RefuseList,     // 550 to LIST/MLSD
        BusyList,       // 450 to LIST/MLSD
        DropList,       // closes the control connection on LIST/MLSD, no reply
        Close421List,   // 421 to LIST/MLSD, then closes
        StallList,      // never answers LIST/MLSD
        StallData,      // answers 150, then the data connection sends nothing
        RejectMlsd,     // 500 to MLSD as if unknown, although FEAT offers it; LIST works
        TruncateList,   // only the first `keep` entries, then "226 Output truncated to N matches"
        Reply425List,   // 425 to LIST/MLSD: no data connection
        Reply426List,   // 426 to LIST/MLSD: transfer aborted before it began
        AbortData,      // 150, half the listing's bytes, the data connection closed, then 426
        RefuseData,     // EPSV/PASV name a port nobody listens on (each counts once in `times`)
        EndlessList,    // 150, then a listing that never ends
        TrickleList,    // 150, then the listing one byte every half second
        LongName,       // the listing also shows a directory of `keep` bytes' name that is not there
        StallGreeting,  // no 220 greeting after the connect (give `dir` "/")
        StallLogin,     // no reply to PASS (give `dir` "/")
        ReplyLogin,     // PASS answered with `reply` as it is, and refused (give `dir` "/")
        ManyNames,      // the listing also shows `keep` made-up files of 1 byte, n0000000 upwards
        LongLines,      // the listing also shows `keep` made-up links of 4,000-byte targets, k0000000 upwards
        StatReply,      // "STAT path" answered with `reply` as it is (line ends included)
    };
    std::string dir;
    Action action = RefuseCwd;
    int times = 0;
    int keep = 1;      // TruncateList: how many entries the listing keeps; LongName: the name's length
    std::string reply; // ReplyLogin: the whole reply line, without its line end; StatReply: the bytes
};

struct PyFtpOptions {
    std::string user = "user"; // a second account besides anonymous; empty: none
    std::string password = "secret";
    bool anonymous = true; // "anonymous" with any password
    bool mlsd = true;      // false: MLSD/MLST are unknown commands (500), as on older servers
    // MLSD's unique fact: on by default, offered but off until OPTS MLST asks for it, or none.
    enum Unique { UniqueOn, UniqueOff, UniqueNone } unique = UniqueOn;
    // Control connections at once from one address; more are answered "421 Too many
    // connections from the same IP address." and closed. 0: no limit.
    int maxConnectionsPerIp = 0;
    std::vector<PyFtpFault> faults;
};

// pyftpdlib (Debian's python3-pyftpdlib under /usr/bin/python3) serving `root` read-only
// on 127.0.0.1, a free port, passive data connections on 127.0.0.1. Names go out byte for byte.
class PyFtpServer {
public:
    static std::unique_ptr<PyFtpServer> Start(const std::string& root, const PyFtpOptions& options = {});
    ~PyFtpServer();
    PyFtpServer(const PyFtpServer&) = delete;
    PyFtpServer& operator=(const PyFtpServer&) = delete;

    int port() const { return m_port; }
    const std::string& user() const { return m_options.user; }
    const std::string& password() const { return m_options.password; }
    // Replaces the faults while the server runs (the fault counters start again at 0).
    void SetFaults(const std::vector<PyFtpFault>& faults);
    // Every directory command the server received so far, in order, one string each:
    // "USER name", "CWD /abs/path", "LIST /abs/path", "MLSD /abs/path" (paths as raw bytes),
    // "OPTS args", and "FAULT stall_login" (or stall_greeting) when a login fault fires.
    std::vector<std::string> Commands() const;
    void ClearCommands();

private:
    PyFtpServer() = default;
    PyFtpOptions m_options;
    std::unique_ptr<TempDir> m_work; // faults file, command log, error output
    pid_t m_pid = -1;
    int m_stdinFd = -1; // the server exits when this closes, even if the test process dies
    int m_port = 0;
};

// VsftpdServer, the second real server, is in tests/support/vsftpd_server.h.

// Pieces the servers use.
namespace detail {
// A port that was free on 127.0.0.1 a moment ago, for a test that needs one nobody listens on.
// A server never gets one of these: it is handed a socket already bound (ListenLoopback).
int FreeLoopbackPort();
// A TCP socket listening on 127.0.0.1, on a port the kernel chose (in `port`); close-on-exec.
// Whoever holds it holds the port: a server restarted on it can never lose it to another program.
int ListenLoopback(int& port);
// Forks a child in a process group of its own that dies with the test process: 0 in the child,
// its pid (the group's id) in the caller; throws when there is no fork. Between fork and exec
// the child makes only async-signal-safe calls, since the test process has other threads.
pid_t ForkInOwnGroup();
// Serves each connection to `listenFd` with a new process of argv (inetd style: the connection on
// its stdin and stdout, stderr appended to `errorFile`, `env` added to the environment), started
// by an accepting process of its own process group, whose pid is returned. Connections made
// before it runs wait in the socket's queue. StopGroup ends it with the sessions in its group;
// KillChildren ends every session.
pid_t SpawnPerConnection(int listenFd, const std::vector<std::string>& argv, const std::string& errorFile,
                         const std::vector<std::string>& env = {});
// The accounts a server needs ("name:x:uid:gid::home:shell" lines) that this system lacks, as
// their packages would have made them: the environment (for SpawnPerConnection) that shows them
// to that server alone through nss_wrapper, with /etc/passwd; empty when all of them exist.
std::vector<std::string> AccountsFor(const std::string& work, const std::vector<std::string>& passwdLines);
// Connects to 127.0.0.1:port and reads until `greeting` has come (true), the connection closes or
// timeoutMs pass (false): the server on the port is the one that speaks so, and it answers.
// What came is left in `seen` (a server's own complaint, when it did not start).
bool AwaitGreeting(int port, const std::string& greeting, int timeoutMs, std::string* seen = nullptr);
// The path of a test server's program ("vsftpd", "sshd"): the copy scripts/install-deps unpacked
// under .cache/test-servers in the source tree (or $QUARNEL_TEST_SERVERS), else the installed
// package's in /usr/sbin.
std::string ServerProgram(const std::string& name);
// Starts argv[0] (a full path) in its own process group with stdin from `stdinFd` (-1: /dev/null),
// stdout to `stdoutFd` (-1: the error file) and stderr appended to `errorFile`.
pid_t Spawn(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, const std::string& errorFile);
// Ends the process group started by Spawn: SIGTERM, then SIGKILL after a second.
void StopGroup(pid_t pid);
// Kills (SIGKILL) every process whose parent is `parent`, with their own children: a server's
// sessions, while the server itself goes on listening.
void KillChildren(pid_t parent);
std::string ReadFile(const std::string& path);
} // namespace detail

} // namespace ftptest
