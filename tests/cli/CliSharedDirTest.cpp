// Many quarnel-cli processes at once on one program directory.
#include "model/FileLock.h"
#include "model/Paths.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/FtpServer.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class CliSharedDirTest : public ::testing::Test {
protected:
    // Starts quarnel-cli --dir DIR ARGS... with its output going to the file `outPath`, or
    // thrown away; standard error goes to `errPath` or is thrown away.
    pid_t Start(std::vector<std::string> args, const std::string& outPath = "/dev/null",
                const std::string& errPath = "/dev/null") {
        args.insert(args.begin(), {QUARNEL_BINARY_DIR "/bin/quarnel-cli", "--dir", m_dir.path()});
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            testsupport::ExecArgs(std::move(args));
        }
        return pid;
    }
    static int Wait(pid_t pid) { return testsupport::WaitExit(pid); }
    // Runs quarnel-cli and returns its exit status; `out` gets standard output, `err` standard
    // error.
    int Run(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
        const clitest::CliRun run = clitest::RunCli(m_io.path(), m_dir.path(), std::move(args));
        if (out)
            *out = run.out;
        if (err)
            *err = run.err;
        return run.status;
    }
    bool Exists(const std::string& relative) const {
        struct stat st {};
        return lstat((m_dir.path() + "/" + relative).c_str(), &st) == 0;
    }
    std::size_t SiteCount() {
        std::string out;
        EXPECT_EQ(Run({"sites"}, &out), 0);
        std::size_t lines = 0;
        for (char c : out)
            lines += c == '\n';
        return lines;
    }

    ftptest::TempDir m_dir{"quarnel-shared"};
    ftptest::TempDir m_io{"quarnel-shared-io"};
};

// Every writer of site.ds re-reads it under the lock: no change made by another is lost.
TEST_F(CliSharedDirTest, ParallelWritersLoseNothing) {
    constexpr int kAdds = 20;
    std::vector<pid_t> pids;
    for (int i = 0; i < kAdds; ++i)
        pids.push_back(Start({"add", "--host", "h" + std::to_string(i) + ".example", "--anonymous"}));
    for (pid_t pid : pids)
        EXPECT_EQ(Wait(pid), 0);
    EXPECT_EQ(SiteCount(), static_cast<std::size_t>(kAdds));

    constexpr int kLines = 3000;
    std::vector<std::string> files;
    for (const char* prefix : {"a", "b"}) {
        files.push_back(m_dir.path() + "/" + prefix + ".txt");
        std::ofstream out(files.back());
        for (int i = 0; i < kLines; ++i)
            out << "ftp://" << prefix << i << ".example/\n";
    }
    const pid_t first = Start({"import", files[0]});
    const pid_t second = Start({"import", files[1]});
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);
    EXPECT_EQ(SiteCount(), static_cast<std::size_t>(kAdds + 2 * kLines));
}

// A site another program is updating is skipped with its own exit status; the others go on.
TEST_F(CliSharedDirTest, BusySiteIsSkippedWithStatusFour) {
    ASSERT_EQ(Run({"add", "--host", "127.0.0.1", "--port", "1", "--anonymous"}), 0);
    SetAppDir(m_dir.path());
    CFileLock updating;
    ASSERT_TRUE(updating.Lock(SiteUpdateLockPath("127.0.0.1"), std::chrono::milliseconds(0)));
    SetAppDir(".");
    std::string out;
    EXPECT_EQ(Run({"update", "127.0.0.1"}, &out), 4);
    // The site's last line says why; nothing was connected to.
    EXPECT_NE(out.find("127.0.0.1\t0\t另一个程序正在更新该站点，已跳过\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("已连接"), std::string::npos) << out;
    EXPECT_EQ(Run({"update", "--all"}, &out), 4);
    updating.Unlock();
    // Free again: the update runs (and fails, nobody listens on port 1).
    EXPECT_EQ(Run({"update", "127.0.0.1"}, &out), 1);
}

// Deleting a site or giving it a new key while another program updates it: the change waits for
// that update to end, and an update that was still queued when the change was made saves nothing
// (and says so). Either way no stored tree is left under a key no site has.
struct ChangeDuringUpdate {
    const char* what;
    bool queued; // the site changed waits in the queue behind a slow one; else its update runs
    std::vector<std::string> change;
    std::vector<std::string> keptDirs; // Data/... that hold a crawl afterwards; the first has a.txt
    // The changed site's last status: one of these. A running update that loses its connection
    // is queued again, and the change comes between the two runs (the second then finds the site
    // gone, or busy while the change holds it) or after the second.
    std::vector<std::string> updateSays;
};

void PrintTo(const ChangeDuringUpdate& change, std::ostream* out) {
    *out << change.what;
}

class CliChangeDuringUpdate : public CliSharedDirTest,
                              public ::testing::WithParamInterface<ChangeDuringUpdate> {};

TEST_P(CliChangeDuringUpdate, NoTreeIsLeftWithoutItsSite) {
    const ChangeDuringUpdate& c = GetParam();
    ftptest::TempDir served{"quarnel-served"};
    ftptest::TreeBuilder(served.path()).File("a.txt", 3).Dir("slow");
    ftptest::PyFtpOptions options;
    // The first listing of /slow sends nothing: that update holds its lock until the client
    // gives the listing up.
    options.faults.push_back({"/slow", ftptest::PyFtpFault::StallData, 1});
    auto server = ftptest::PyFtpServer::Start(served.path(), options);
    const std::string port = std::to_string(server->port());
    std::ofstream(m_dir.path() + "/pw") << server->password() << "\n";
    ASSERT_EQ(Run({"add", "--host", "127.0.0.1", "--port", port, "--anonymous"}), 0);
    ASSERT_EQ(Run({"add", "--host", "127.0.0.1", "--port", port, "--user", server->user(), "--password-file",
                   m_dir.path() + "/pw"}),
              0);

    const std::string outPath = m_dir.path() + "/update.out";
    const pid_t update = Start({"update", "--threads", "1", "127.0.0.1", "127.0.0.1@user"}, outPath);
    bool stalled = false;
    for (int i = 0; i < 1000 && !stalled; ++i) {
        for (const std::string& command : server->Commands())
            stalled |= command == "MLSD /slow" || command == "LIST /slow";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(stalled);
    std::string err;
    EXPECT_EQ(Run(c.change, nullptr, &err), 0) << err;
    const int status = Wait(update);
    const std::string out = ftptest::detail::ReadFile(outPath);
    const std::size_t last = out.rfind("\n" + c.change[1] + "\t");
    ASSERT_NE(last, std::string::npos) << out;
    const std::size_t start = last + c.change[1].size() + 2;
    const std::string said = out.substr(start, out.find('\n', start) + 1 - start);
    EXPECT_TRUE(std::any_of(c.updateSays.begin(), c.updateSays.end(), [&said](const std::string& text) {
        return said == text + "\n";
    })) << out;
    EXPECT_EQ(status, said[0] == '2' ? 0 : said[0] == '1' ? 1 : 4) << out;

    for (const std::string key : {"127.0.0.1", "127.0.0.1@user", "localhost", "localhost@user"})
        EXPECT_EQ(Exists("Data/" + key),
                  std::find(c.keptDirs.begin(), c.keptDirs.end(), key) != c.keptDirs.end())
            << key;
    std::string tree;
    EXPECT_EQ(Run({"tree", c.keptDirs.front()}, &tree), 0);
    EXPECT_NE(tree.find("/a.txt"), std::string::npos) << tree;
}

const char* const kSucceeded = "2\t更新成功";
const char* const kGone = "1\t更新失败:\\n该站点已被删除或改名,更新的结果没有保存";
const char* const kBusy = "0\t另一个程序正在更新该站点，已跳过";

INSTANTIATE_TEST_SUITE_P(
    Changes, CliChangeDuringUpdate,
    ::testing::Values(
        ChangeDuringUpdate{
            "RemoveWaits", false, {"remove", "127.0.0.1"}, {"127.0.0.1@user"}, {kSucceeded, kGone, kBusy}},
        ChangeDuringUpdate{"NewHostWaits",
                           false,
                           {"edit", "127.0.0.1", "--host", "localhost"},
                           {"localhost", "127.0.0.1@user"},
                           {kSucceeded, kGone, kBusy}},
        ChangeDuringUpdate{"RemovedWhileQueued", true, {"remove", "127.0.0.1@user"}, {"127.0.0.1"}, {kGone}},
        ChangeDuringUpdate{"NewHostWhileQueued",
                           true,
                           {"edit", "127.0.0.1@user", "--host", "localhost"},
                           {"127.0.0.1"},
                           {kGone}}),
    [](const auto& test) { return test.param.what; });

} // namespace
