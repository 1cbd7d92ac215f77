// quarnel-cli as scripts and cron use it: errors that name the file, what goes to which stream,
// Ctrl-C, and a password given on the command line kept out of the process list and of core
// dumps. Exit statuses, the program directory left alone by commands that only read, and the site
// commands are cases in data/statuses.txt and data/sites.txt.
#include "model/FileLock.h"
#include "tests/cli/CliCatalogues.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FtpServer.h"
#include "tests/support/Sanitizers.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using clitest::CliRun;
using ftptest::detail::ReadFile;

enum class As { Me, Unprivileged };

class CliScriptingTest : public ::testing::Test {
protected:
    // quarnel-cli --dir DIR ARGS... (no --dir when `dir` is null); `as` Unprivileged drops root
    // (when the test runs as root) so that file permissions count.
    CliRun Run(std::vector<std::string> args, const std::string* dir, As as = As::Me) {
        if (dir)
            args.insert(args.begin(), {"--dir", *dir});
        args.insert(args.begin(), clitest::kCliPath);
        return clitest::RunProgram(m_io.path(), std::move(args), {.unprivileged = as == As::Unprivileged});
    }
    CliRun Run(std::vector<std::string> args, As as = As::Me) { return Run(std::move(args), &m_app, as); }

    // Two sites, one with a stored tree and its settings.
    void WriteCatalogue() { clitest::WriteCatalogue(m_app, "leftovers"); }

    ftptest::TempDir m_work{"quarnel-cli-scripting"};
    ftptest::TempDir m_io{"quarnel-cli-scripting-io"};
    const std::string m_app = m_work.path() + "/app";

    void SetUp() override { fs::create_directory(m_app); }
};

// Failures say what is wrong and name the file; the exit status tells a script.
TEST_F(CliScriptingTest, ErrorsNameTheFileAndWhatIsWrong) {
    WriteCatalogue();
    fs::permissions(m_work.path(), fs::perms(0755));
    fs::permissions(m_app, fs::perms(0755));
    fs::permissions(m_io.path(), fs::perms(0777));
    const std::string missing = m_work.path() + "/no/such";
    const std::string list = m_app + "/site.ds", content = m_app + "/Data/srv/content.ct";
    const CliRun noDir = Run({"sites"}, &missing);
    EXPECT_EQ(noDir.status, 1);
    EXPECT_EQ(noDir.err, "quarnel-cli: " + missing + ": no such directory\n");
    EXPECT_FALSE(fs::exists(m_work.path() + "/no"));
    EXPECT_EQ(Run({"add", "--host", "h", "--anonymous"}, &missing).status, 1);
    EXPECT_FALSE(fs::exists(m_work.path() + "/no"));
    const CliRun notDir = Run({"sites"}, &list);
    EXPECT_EQ(notDir.status, 1);
    EXPECT_EQ(notDir.err, "quarnel-cli: " + list + ": not a directory\n");
    const std::string empty;
    const CliRun emptyDir = Run({"sites"}, &empty);
    EXPECT_EQ(emptyDir.status, 2);
    EXPECT_NE(emptyDir.err.find("--dir needs a directory"), std::string::npos) << emptyDir.err;

    // site.ds is its owner's only (it holds passwords): another user is told so.
    const CliRun denied = Run({"sites"}, As::Unprivileged);
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.err, "quarnel-cli: " + list + ": permission denied\n");
    fs::permissions(list, fs::perms(0644));
    fs::permissions(content, fs::perms(0600));
    const CliRun unreadable = Run({"tree", "srv"}, As::Unprivileged);
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_NE(unreadable.err.find("quarnel-cli: " + content + ": permission denied"), std::string::npos)
        << unreadable.err;

    // A damaged tree: what was read before the fault is shown, the fault named, the status 1.
    fs::permissions(content, fs::perms(0644));
    const std::string bytes = ReadFile(content);
    std::ofstream(content, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() - 4);
    const CliRun damaged = Run({"tree", "srv"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.out.rfind("D\t1\t0\tftp://srv/pub\n", 0), 0u) << damaged.out;
    EXPECT_NE(damaged.err.find("quarnel-cli: " + content + ": damaged file: "), std::string::npos)
        << damaged.err;
    EXPECT_EQ(damaged.err.find('\n'), damaged.err.size() - 1) << "one line";
    EXPECT_EQ(Run({"search", "readme"}).status, 1);

    // A damaged settings file: the site's protocol is shown as damaged, not as plain ftp.
    const std::string settings = m_app + "/Data/srv/site.conf";
    std::ofstream(settings, std::ios::app) << "protocol=ftpes\nno equals sign\n";
    const CliRun sites = Run({"sites"});
    EXPECT_EQ(sites.status, 1);
    EXPECT_NE(sites.out.find("\tdamaged\n"), std::string::npos) << sites.out;
    EXPECT_EQ(sites.out.find("\tftp\n"), sites.out.rfind("\tftp\n")) << "only the other site is plain";
    EXPECT_NE(sites.err.find(settings + ": line "), std::string::npos) << sites.err;
}

// quarnel-cli with standard error on a pseudo-terminal (a slave kept open here, so nothing written
// is lost when the program ends) and standard output in a file.
struct TerminalErrRun {
    int status = -1;
    std::string out;
    std::string terminal; // what standard error showed
};

TerminalErrRun RunWithTerminalErr(const std::string& outPath, std::vector<std::string> args) {
    TerminalErrRun run;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return run;
    const std::string slave = ptsname(master);
    const int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(slave.c_str(), O_RDWR | O_NOCTTY), 2);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        args.insert(args.begin(), QUARNEL_BINARY_DIR "/bin/quarnel-cli");
        testsupport::ExecArgs(std::move(args));
    }
    // Read as it comes, so that the program never waits for a full terminal buffer.
    char buffer[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                run.terminal.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
    }
    for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 50) > 0 && (p.revents & POLLIN);) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        run.terminal.append(buffer, static_cast<std::size_t>(n));
    }
    close(keep);
    close(master);
    run.out = ReadFile(outPath);
    return run;
}

// Standard output carries the status records only; the progress line goes to standard error, and
// only to a terminal, unless --quiet.
TEST_F(CliScriptingTest, ProgressOnlyOnATerminalAndNeverInTheOutput) {
    ftptest::TreeBuilder tree(m_work.path() + "/root");
    for (int i = 0; i < 40; ++i)
        tree.File("d" + std::to_string(i) + "/f", 1);
    auto server = ftptest::PyFtpServer::Start(tree.root());
    const std::string port = std::to_string(server->port());
    ASSERT_EQ(Run({"add", "--host", "127.0.0.1", "--port", port, "--anonymous"}).status, 0);
    ASSERT_EQ(
        Run({"add", "--host", "127.0.0.1", "--port", port, "--user", "user", "--password", "secret"}).status,
        0);

    auto expectRecordsOnly = [](const std::string& out) {
        std::istringstream lines(out);
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            const bool record = line.rfind("127.0.0.1\t", 0) == 0 || line.rfind("127.0.0.1@user\t", 0) == 0;
            EXPECT_TRUE(record) << line;
        }
        EXPECT_GE(count, 2u);
        EXPECT_NE(out.find("127.0.0.1\t2\t更新成功\n"), std::string::npos) << out;
        EXPECT_NE(out.find("127.0.0.1@user\t2\t更新成功\n"), std::string::npos) << out;
    };
    const CliRun piped = Run({"update", "--all"});
    EXPECT_EQ(piped.status, 0);
    expectRecordsOnly(piped.out);
    EXPECT_EQ(piped.err, "");

    const std::string outPath = m_io.path() + "/tty-out";
    const TerminalErrRun shown = RunWithTerminalErr(outPath, {"--dir", m_app, "update", "--all"});
    EXPECT_EQ(shown.status, 0);
    expectRecordsOnly(shown.out);
    // One line redrawn in place: a carriage return before each drawing, the rest of the line
    // cleared, no line feed; at the end the line is taken away.
    EXPECT_NE(shown.terminal.find("\rupdate: "), std::string::npos) << shown.terminal;
    EXPECT_NE(shown.terminal.find("/2 sites done ("), std::string::npos) << shown.terminal;
    EXPECT_NE(shown.terminal.find(" directories listed, "), std::string::npos) << shown.terminal;
    EXPECT_EQ(shown.terminal.find('\n'), std::string::npos) << shown.terminal;
    ASSERT_GE(shown.terminal.size(), 4u);
    EXPECT_EQ(shown.terminal.substr(shown.terminal.size() - 4), "\r\x1b[K");

    for (const std::vector<std::string>& quiet :
         {std::vector<std::string>{"--dir", m_app, "--quiet", "update", "--all"},
          {"--dir", m_app, "update", "--all", "-q"}}) {
        const TerminalErrRun silent = RunWithTerminalErr(outPath, quiet);
        EXPECT_EQ(silent.status, 0);
        expectRecordsOnly(silent.out);
        EXPECT_EQ(silent.terminal, "");
    }
}

// Ctrl-C stops the crawl cleanly and exits 130; a second one ends the program at once, and the
// next run finds a directory it can work with.
// A password given with --password (or --password=P, before or after other options): gone from
// /proc/PID/cmdline while the program runs (here it waits for the site list's lock), and no core dump when it
// crashes, though the limit it was started with allows one and a program that does not guard against it
// leaves one.
TEST_F(CliScriptingTest, APasswordStaysOutOfTheProcessListAndOfCoreDumps) {
    if (testsupport::kSanitized)
        GTEST_SKIP() << "a sanitizer catches SIGSEGV itself and dumps no core";
    const std::string password = "Sekr1t-Pw-7431";
    const std::string cores = m_io.path() + "/cores";
    fs::create_directories(m_app);
    fs::create_directories(cores);
    CFileLock held;
    ASSERT_TRUE(held.Lock(m_app + "/site.ds.lock", std::chrono::milliseconds(0)));
    auto start = [&](std::vector<std::string> args) {
        const pid_t pid = fork();
        if (pid == 0) {
            rlimit limit{};
            getrlimit(RLIMIT_CORE, &limit);
            limit.rlim_cur = limit.rlim_max; // a core as large as the system lets this test make
            setrlimit(RLIMIT_CORE, &limit);
            if (chdir(cores.c_str()) != 0)
                _exit(126);
            dup2(open((m_io.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            testsupport::ExecArgs(std::move(args));
        }
        return pid;
    };
    auto crash = [&](pid_t pid) {
        kill(pid, SIGSEGV);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status));
        bool core = WCOREDUMP(status);
        for (const auto& entry : fs::directory_iterator(cores))
            core = fs::remove(entry.path()) || core;
        return core;
    };
    // Whether this system dumps core at all where the test can see it (core_pattern "core").
    const pid_t control = start({"sleep", "30"});
    const std::string exe = "/proc/" + std::to_string(control) + "/exe";
    std::error_code error;
    for (int i = 0; i < 1000 && fs::read_symlink(exe, error).filename() != "sleep"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool systemDumps = crash(control);

    // The program, not the fork, holds the lock file open while it waits.
    auto waitForTheLock = [&](pid_t pid) {
        const std::string proc = "/proc/" + std::to_string(pid);
        bool waiting = false;
        for (int i = 0; i < 1000 && !waiting; ++i) {
            if (fs::read_symlink(proc + "/exe", error).filename() == "quarnel-cli")
                for (const auto& entry : fs::directory_iterator(proc + "/fd", error))
                    waiting = waiting || fs::read_symlink(entry.path(), error).filename() == "site.ds.lock";
            if (!waiting)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return waiting;
    };
    // The value is blanked however the option is written and wherever it stands.
    const std::string program = QUARNEL_BINARY_DIR "/bin/quarnel-cli";
    struct Form {
        std::vector<std::string> args;
        std::string kept; // what the command line still shows
    };
    const Form forms[] = {
        {{program, "--dir", m_app, "-q", "--", "add", "--user=bob", "--password=" + password, "--host",
          "h.example"},
         std::string("--password=xxxx", 15)},
        {{program, "add", "--password", password, "--dir", m_app, "--host", "h.example", "--user", "bob"},
         std::string("--password\0xxxx", 15)},
        {{program, "--dir", m_app, "add", "--host", "h.example", "--user", "bob", "--password", password},
         std::string("--password\0", 11)},
    };
    pid_t pid = 0;
    for (const Form& form : forms) {
        SCOPED_TRACE(form.kept);
        if (pid != 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = start(form.args);
        ASSERT_TRUE(waitForTheLock(pid)) << ReadFile(m_io.path() + "/err");
        const std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        EXPECT_NE(cmdline.find(form.kept), std::string::npos);
        EXPECT_EQ(cmdline.find(password), std::string::npos);
    }
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string limits = ReadFile(proc + "/limits");
    limits = limits.substr(limits.find("Max core file size"));
    std::istringstream fields(limits.substr(0, limits.find('\n')).substr(18));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft + " " + hard, "0 0");
    const bool dumped = crash(pid);
    EXPECT_FALSE(dumped);
    if (!systemDumps)
        GTEST_SKIP() << "this system writes no core files where the test can see them";
}

TEST_F(CliScriptingTest, CtrlCExits130AndASecondOneEndsAtOnce) {
    ftptest::TreeBuilder tree(m_work.path() + "/root");
    tree.File("a/f", 1).Dir("slow").Dir("z");
    ftptest::PyFtpOptions options;
    options.faults = {{"slow", ftptest::PyFtpFault::StallList, 0}};
    auto server = ftptest::PyFtpServer::Start(tree.root(), options);
    ASSERT_EQ(
        Run({"add", "--host", "127.0.0.1", "--port", std::to_string(server->port()), "--anonymous"}).status,
        0);
    const std::string outPath = m_io.path() + "/update-out", errPath = m_io.path() + "/update-err";
    auto start = [&] {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            testsupport::ExecArgs({QUARNEL_BINARY_DIR "/bin/quarnel-cli", "--dir", m_app, "update", "--all"});
        }
        return pid;
    };
    auto stalled = [&] {
        for (int i = 0; i < 1000; ++i) {
            for (const std::string& command : server->Commands())
                if (command.find("/slow") != std::string::npos)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };

    // Once: the clean stop, what was merged saved.
    pid_t pid = start();
    ASSERT_TRUE(stalled());
    kill(pid, SIGINT);
    EXPECT_EQ(testsupport::WaitExit(pid), 130);
    EXPECT_NE(ReadFile(outPath).find("127.0.0.1\t3\t更新终止！\n"), std::string::npos) << ReadFile(outPath);
    EXPECT_TRUE(fs::exists(m_app + "/Data/127.0.0.1/content.ct"));

    // Twice: the stop cannot end before the second signal, for the status it would print waits on
    // an output pipe the test has filled; the program is gone without the site's last status.
    server->ClearCommands();
    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        testsupport::ExecArgs({QUARNEL_BINARY_DIR "/bin/quarnel-cli", "--dir", m_app, "update", "--all"});
    }
    close(err[1]);
    ASSERT_TRUE(stalled());
    // Filled through a second, non-blocking opening of the pipe: the program's own stays blocking.
    const int filler =
        open(("/proc/self/fd/" + std::to_string(out[1])).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    const std::string dots(4096, '.');
    for (std::size_t chunk : {dots.size(), std::size_t{1}})
        while (write(filler, dots.data(), chunk) > 0) {
        }
    close(filler);
    close(out[1]);
    kill(pid, SIGINT);
    // The first is taken once the program says it is stopping.
    std::string said;
    while (said.find("stopping") == std::string::npos) {
        pollfd ready{err[0], POLLIN, 0};
        char buf[256];
        const ssize_t n = poll(&ready, 1, 20000) == 1 ? read(err[0], buf, sizeof buf) : 0;
        ASSERT_GT(n, 0) << said;
        said.append(buf, static_cast<std::size_t>(n));
    }
    kill(pid, SIGINT);
    // A program that did not end at once would wait on the full pipe: it is read after a while,
    // and what the clean stop then prints shows.
    int status = -1;
    for (int i = 0; i < 2000 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string printed;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        printed.append(buf, static_cast<std::size_t>(n));
    if (status == -1)
        waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    close(out[0]);
    close(err[0]);
    EXPECT_NE(printed.find("正在更新"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("更新终止"), std::string::npos) << printed;

    // The next run works on what is there, and its load clears what the cut left.
    server->SetFaults({});
    EXPECT_EQ(Run({"update", "--all"}).status, 0);
    EXPECT_NE(Run({"tree", "127.0.0.1"}).out.find("ftp://127.0.0.1/slow\n"), std::string::npos);
    const std::string area = m_app + "/Data/.tmp";
    EXPECT_TRUE(!fs::exists(area) || fs::is_empty(area));
}

} // namespace
