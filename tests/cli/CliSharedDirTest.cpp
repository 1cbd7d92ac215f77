// Many quarnel-cli processes at once on one program directory.
#include "model/FileLock.h"
#include "model/Paths.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FtpServer.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class CliSharedDirTest : public ::testing::Test {
protected:
    // Starts quarnel-cli --dir DIR ARGS... with its output thrown away.
    pid_t Start(std::vector<std::string> args) {
        args.insert(args.begin(), {QUARNEL_BINARY_DIR "/bin/quarnel-cli", "--dir", m_dir.path()});
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            testsupport::ExecArgs(std::move(args));
        }
        return pid;
    }
    static int Wait(pid_t pid) { return testsupport::WaitExit(pid); }
    // Runs quarnel-cli and returns its exit status; `out` gets standard output.
    int Run(std::vector<std::string> args, std::string* out = nullptr) {
        const std::string path = m_dir.path() + "/.out";
        args.insert(args.begin(), {QUARNEL_BINARY_DIR "/bin/quarnel-cli", "--dir", m_dir.path()});
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            testsupport::ExecArgs(std::move(args));
        }
        const int status = Wait(pid);
        if (out)
            *out = ftptest::detail::ReadFile(path);
        return status;
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

} // namespace
