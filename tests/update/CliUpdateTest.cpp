// quarnel-cli update, run as a program against pyftpdlib: its output, exit status and Ctrl-C.

#include "tests/support/FtpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

const std::string kCli = std::string(QUARNEL_BINARY_DIR) + "/bin/quarnel-cli";

struct CliRun {
    pid_t pid = -1;
    std::string outPath;
    int Wait() {
        int status = 0;
        // Bounded: a hung run is killed rather than hanging the suite.
        for (int i = 0; i < 3000; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    std::string Output() const { return ftptest::detail::ReadFile(outPath); }
};

CliRun Start(const std::vector<std::string>& args, const std::string& outPath) {
    std::vector<std::string> argv = {kCli};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (outPath + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    CliRun run;
    run.outPath = outPath;
    EXPECT_EQ(posix_spawn(&run.pid, kCli.c_str(), &actions, nullptr, raw.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// Waits up to five seconds for a command of the server's log that `seen` accepts.
template <class Seen> bool ServerSaw(const ftptest::PyFtpServer& server, Seen seen) {
    for (int i = 0; i < 500; ++i) {
        for (const std::string& command : server.Commands())
            if (seen(command))
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class CliUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kCli))
            GTEST_SKIP() << "quarnel-cli is not built";
        m_root = m_work.path() + "/root";
        m_app = m_work.path() + "/app";
        std::filesystem::create_directories(m_app);
    }
    int RunToEnd(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--dir", m_app};
        all.insert(all.end(), args.begin(), args.end());
        CliRun run = Start(all, m_work.path() + "/out");
        int code = run.Wait();
        m_output = run.Output();
        return code;
    }
    ftptest::TempDir m_work{"quarnel-cli-update"};
    std::string m_root, m_app, m_output;
};

TEST_F(CliUpdate, UpdatesTheGivenSitesAndPrintsTheirStatus) {
    ftptest::TreeBuilder(m_root).File("pub/a", 3);
    auto server = ftptest::PyFtpServer::Start(m_root);
    std::string port = std::to_string(server->port());
    ASSERT_EQ(RunToEnd({"add", "--host", "127.0.0.1", "--port", port, "--anonymous"}), 0);
    ASSERT_EQ(RunToEnd({"add", "--host", "127.0.0.1", "--port", port, "--user", "nobody", "--password", "x"}),
              0);

    EXPECT_EQ(RunToEnd({"update", "127.0.0.1"}), 0);
    EXPECT_NE(m_output.find("127.0.0.1\t2\t更新成功\n"), std::string::npos) << m_output;
    EXPECT_TRUE(std::filesystem::exists(m_app + "/Data/127.0.0.1/content.ct"));

    // The second site cannot log in: its failure shows on one line, and the run exits 1.
    EXPECT_EQ(RunToEnd({"update", "--threads", "2", "--all"}), 1);
    EXPECT_NE(m_output.find("127.0.0.1@nobody\t1\t更新失败:\\n"), std::string::npos) << m_output;

    EXPECT_EQ(RunToEnd({"update", "no.such.key"}), 1);
    EXPECT_EQ(RunToEnd({"update"}), 2);
    EXPECT_EQ(RunToEnd({"update", "--threads", "0", "--all"}), 2);
}

TEST_F(CliUpdate, InterruptStopsTheEngineAndKeepsWhatWasMerged) {
    ftptest::TreeBuilder(m_root).File("a/f", 1).Dir("slow").Dir("z");
    ftptest::PyFtpOptions options;
    options.faults = {{"slow", ftptest::PyFtpFault::StallList, 0}};
    auto server = ftptest::PyFtpServer::Start(m_root, options);
    ASSERT_EQ(
        RunToEnd({"add", "--host", "127.0.0.1", "--port", std::to_string(server->port()), "--anonymous"}), 0);

    CliRun run = Start({"--dir", m_app, "update", "--all"}, m_work.path() + "/out");
    // Wait until the worker is inside the stalled listing.
    ASSERT_TRUE(
        ServerSaw(*server, [](const std::string& c) { return c.find("/slow") != std::string::npos; }));
    kill(run.pid, SIGINT);
    EXPECT_EQ(run.Wait(), 130); // as a shell reports Ctrl-C, after the clean stop
    std::string output = run.Output();
    EXPECT_NE(output.find("127.0.0.1\t3\t更新终止！\n"), std::string::npos) << output;
    EXPECT_TRUE(std::filesystem::exists(m_app + "/Data/127.0.0.1/content.ct"));
    EXPECT_TRUE(std::filesystem::exists(m_app + "/Data/127.0.0.1/state.st"));
}

// A stop while the server has not answered the login yet is reported as a stop, like any other.
TEST_F(CliUpdate, InterruptDuringAStalledLoginIsAStop) {
    ftptest::TreeBuilder(m_root).File("pub/a", 3);
    ftptest::PyFtpOptions options;
    options.faults = {{"/", ftptest::PyFtpFault::StallLogin, 0}};
    auto server = ftptest::PyFtpServer::Start(m_root, options);
    ASSERT_EQ(
        RunToEnd({"add", "--host", "127.0.0.1", "--port", std::to_string(server->port()), "--anonymous"}), 0);
    // A second site whose server is not there: it fails at once, and says why.
    ASSERT_EQ(
        RunToEnd({"add", "--host", "127.0.0.1", "--port", std::to_string(ftptest::detail::FreeLoopbackPort()),
                  "--user", "u", "--password", "p"}),
        0);

    CliRun run = Start({"--dir", m_app, "update", "--all"}, m_work.path() + "/out");
    ASSERT_TRUE(ServerSaw(*server, [](const std::string& c) { return c == "FAULT stall_login"; }));
    // The refused site has ended too (on a loaded machine its connect may still be under way).
    for (int i = 0; i < 500 && run.Output().find("127.0.0.1@u\t1\t") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(run.pid, SIGINT);
    EXPECT_EQ(run.Wait(), 130); // as a shell reports Ctrl-C, after the clean stop
    std::string output = run.Output();
    EXPECT_NE(output.find("127.0.0.1\t3\t更新终止！\n"), std::string::npos) << output;
    EXPECT_NE(output.find("127.0.0.1@u\t1\t更新失败:\\n服务器拒绝连接\n"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(m_app + "/Data/127.0.0.1/content.ct"));
}

// A hostile server's reply drives neither the terminal nor the log: its control characters and
// bidirectional overrides are escaped on standard output and in --verbose's log lines on standard
// error, and the password it echoes, in another letter case, is masked in both.
TEST_F(CliUpdate, AHostileReplyIsPrintedEscapedAndWithoutThePassword) {
    ftptest::TreeBuilder(m_root).File("pub/a", 3);
    ftptest::PyFtpOptions options;
    options.password = "Pa55-w0rd";
    ftptest::PyFtpFault reply{"/", ftptest::PyFtpFault::ReplyLogin};
    reply.reply = "530 \x1b[31mDenied\x1b]0;pwned\x07 for PA55-W0RD \b\b del\x7f \xE2\x80\xAE"
                  "txt";
    options.faults = {reply};
    auto server = ftptest::PyFtpServer::Start(m_root, options);
    ASSERT_EQ(RunToEnd({"add", "--host", "127.0.0.1", "--port", std::to_string(server->port()), "--user",
                        "user", "--password", "Pa55-w0rd"}),
              0);

    EXPECT_EQ(RunToEnd({"--verbose", "update", "127.0.0.1@user"}), 1);
    const std::string err = ftptest::detail::ReadFile(m_work.path() + "/out.err");
    const std::string shown = "530 \\x1b[31mDenied\\x1b]0;pwned\\x07 for *** \\x08\\x08 del\\x7f \\u202etxt";
    EXPECT_NE(m_output.find("127.0.0.1@user\t1\t更新失败:\\n" + shown + "\n"), std::string::npos) << m_output;
    EXPECT_NE(err.find("update ended with status 1: 更新失败: " + shown + "\n"), std::string::npos) << err;
    for (const std::string& text : {m_output, err}) {
        EXPECT_EQ(text.find_first_of(std::string("\x1b\x07\x08\x7f", 4)), std::string::npos) << text;
        EXPECT_EQ(text.find("\xE2\x80\xAE"), std::string::npos) << text;
        EXPECT_EQ(text.find("W0RD"), std::string::npos) << text;
    }
}

// A tree the crawler needs some seconds for, one directory after the other (one worker per site),
// so that a signal or a closed pipe lands in the middle of the crawl.
constexpr int kBigTreeDirs = 3000;

void BuildBigTree(const std::string& root) {
    ftptest::TreeBuilder tree(root);
    for (int i = 0; i < kBigTreeDirs; ++i)
        tree.File("d" + std::to_string(i) + "/f", 1);
}

// Listings the server has answered so far.
std::size_t Listings(const ftptest::PyFtpServer& server) {
    std::size_t n = 0;
    for (const std::string& c : server.Commands())
        n += c.rfind("MLSD", 0) == 0 || c.rfind("LIST", 0) == 0;
    return n;
}

// Waits (bounded) until the crawl is well under way.
bool WaitForListings(const ftptest::PyFtpServer& server, std::size_t n) {
    for (int i = 0; i < 3000; ++i) {
        if (Listings(server) >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The files the site's saved catalogue holds, counted through the program itself.
std::size_t StoredFiles(const std::string& app) {
    const std::string out = app + "/tree.out";
    CliRun run = Start({"--dir", app, "tree", "127.0.0.1"}, out);
    EXPECT_EQ(run.Wait(), 0);
    std::size_t files = 0;
    const std::string text = run.Output();
    for (std::size_t pos = 0; (pos = text.find("F\t", pos)) != std::string::npos; pos += 2)
        files += pos == 0 || text[pos - 1] == '\n';
    return files;
}

// SIGTERM (a kill, a shutdown) and SIGHUP (the terminal went away) stop the crawl as Ctrl-C
// does: the workers end, what was merged is saved, and the program exits by itself.
TEST_F(CliUpdate, TerminateAndHangUpStopAndSaveWhatWasMerged) {
    BuildBigTree(m_root);
    auto server = ftptest::PyFtpServer::Start(m_root);
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const std::string app = m_work.path() + "/app" + std::to_string(signal);
        std::filesystem::create_directories(app);
        CliRun add = Start({"--dir", app, "add", "--host", "127.0.0.1", "--port",
                            std::to_string(server->port()), "--anonymous"},
                           m_work.path() + "/add.out");
        ASSERT_EQ(add.Wait(), 0);
        server->ClearCommands();
        CliRun run = Start({"--dir", app, "update", "--all"}, m_work.path() + "/out");
        ASSERT_TRUE(WaitForListings(*server, 50));
        kill(run.pid, signal);
        const int code = run.Wait();
        EXPECT_GT(code, 0);
        EXPECT_LT(code, 128) << "ended by the signal, not by itself";
        const std::string output = run.Output();
        EXPECT_NE(output.find("127.0.0.1\t3\t更新终止！\n"), std::string::npos) << output;
        const std::size_t stored = StoredFiles(app);
        EXPECT_GE(stored, 40u);
        EXPECT_LT(stored, static_cast<std::size_t>(kBigTreeDirs)) << "the crawl had ended before the signal";
        EXPECT_TRUE(std::filesystem::exists(app + "/Data/127.0.0.1/state.st"));
    }
}

// `quarnel-cli update | head -1`: the reader goes away in the middle of the crawl. The next
// write fails (SIGPIPE is ignored), the program stops the crawl, saves and exits non-zero.
TEST_F(CliUpdate, AClosedOutputPipeStopsAndSaves) {
    BuildBigTree(m_root);
    auto server = ftptest::PyFtpServer::Start(m_root);
    ASSERT_EQ(
        RunToEnd({"add", "--host", "127.0.0.1", "--port", std::to_string(server->port()), "--anonymous"}), 0);
    server->ClearCommands();

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::vector<std::string> argv = {kCli, "--dir", m_app, "update", "--all"};
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    const std::string errPath = m_work.path() + "/pipe.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CliRun run;
    ASSERT_EQ(posix_spawn(&run.pid, kCli.c_str(), &actions, nullptr, raw.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);

    // head -1: one line, then the reader is gone (once the crawl is well under way).
    std::string first;
    char c = 0;
    while (read(pipeEnds[0], &c, 1) == 1 && c != '\n')
        first += c;
    EXPECT_FALSE(first.empty());
    ASSERT_TRUE(WaitForListings(*server, 50));
    close(pipeEnds[0]);

    const int code = run.Wait();
    EXPECT_GT(code, 0);
    EXPECT_LT(code, 128) << "killed by SIGPIPE";
    EXPECT_NE(ftptest::detail::ReadFile(errPath).find("the output cannot be written; stopping"),
              std::string::npos)
        << ftptest::detail::ReadFile(errPath);
    const std::size_t stored = StoredFiles(m_app);
    EXPECT_GE(stored, 40u);
    EXPECT_LT(stored, static_cast<std::size_t>(kBigTreeDirs)) << "the crawl had ended before the pipe closed";
}

} // namespace
