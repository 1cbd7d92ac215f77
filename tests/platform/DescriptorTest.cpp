// Whole reads and writes that survive signals, and the bounded open that never waits on a FIFO.
#include "platform/Descriptor.h"

#include "tests/support/FtpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::uint64_t kBound = 16;

enum class Make { Nothing, Bytes, Directory, Fifo, LinkToBytes };

struct OpenCase {
    const char* what;
    Make make;
    std::size_t size; // of the regular file behind Bytes and LinkToBytes
    int extraFlags;
    BoundedOpen expected;
    int expectedErrno; // when Failed
};

const OpenCase kOpenCases[] = {
    {"a file at the bound", Make::Bytes, kBound, 0, BoundedOpen::Opened, 0},
    {"an empty file", Make::Bytes, 0, 0, BoundedOpen::Opened, 0},
    {"a byte over the bound", Make::Bytes, kBound + 1, 0, BoundedOpen::TooLarge, 0},
    {"a directory", Make::Directory, 0, 0, BoundedOpen::NotRegular, 0},
    {"a FIFO without a writer", Make::Fifo, 0, 0, BoundedOpen::NotRegular, 0},
    {"a link, followed", Make::LinkToBytes, 3, 0, BoundedOpen::Opened, 0},
    {"a link, not followed", Make::LinkToBytes, 3, O_NOFOLLOW, BoundedOpen::Failed, ELOOP},
    {"a link to a large file", Make::LinkToBytes, kBound + 1, 0, BoundedOpen::TooLarge, 0},
    {"nothing there", Make::Nothing, 0, 0, BoundedOpen::Failed, ENOENT},
};

class DescriptorTest : public ::testing::Test {
protected:
    // Makes the case's entry in a directory of its own; its path.
    std::string Place(const OpenCase& c, std::size_t index) {
        const std::string dir = m_dir.path() + "/" + std::to_string(index);
        mkdir(dir.c_str(), 0700);
        const std::string path = dir + "/entry", target = dir + "/target";
        if (c.make == Make::Bytes || c.make == Make::LinkToBytes)
            std::ofstream(c.make == Make::Bytes ? path : target) << std::string(c.size, 'x');
        if (c.make == Make::LinkToBytes)
            symlink(target.c_str(), path.c_str());
        if (c.make == Make::Directory)
            mkdir(path.c_str(), 0700);
        if (c.make == Make::Fifo)
            mkfifo(path.c_str(), 0600);
        return path;
    }

    // Runs `call` in a thread, waits until that thread sleeps in the kernel, interrupts it with a
    // signal whose handler does not restart calls, then lets `release` end the wait.
    template <class Call, class Release> void InterruptWhileBlocked(Call call, Release release) {
        struct sigaction quiet {
        }, previous{};
        quiet.sa_handler = [](int) {};
        sigemptyset(&quiet.sa_mask);
        quiet.sa_flags = 0; // no SA_RESTART: a blocked read or write returns EINTR
        sigaction(SIGUSR1, &quiet, &previous);
        std::atomic<pid_t> tid{0};
        std::thread worker([&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            call();
        });
        while (tid == 0 || !Sleeping(tid))
            std::this_thread::yield();
        syscall(SYS_tgkill, getpid(), tid.load(), SIGUSR1);
        release();
        worker.join();
        sigaction(SIGUSR1, &previous, nullptr);
    }

    static bool Sleeping(pid_t tid) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
    }

    ftptest::TempDir m_dir{"quarnel-descriptor"};
};

TEST_F(DescriptorTest, OpensOnlyRegularFilesUpToTheBound) {
    for (std::size_t i = 0; i < std::size(kOpenCases); ++i) {
        const OpenCase& c = kOpenCases[i];
        SCOPED_TRACE(c.what);
        CFd fd;
        struct stat st {};
        const std::string path = Place(c, i);
        errno = 0;
        const BoundedOpen found = OpenBoundedFile(path, c.extraFlags, kBound, fd, st);
        const int error = errno;
        EXPECT_EQ(found, c.expected);
        EXPECT_EQ(fd.IsOpen(), c.expected == BoundedOpen::Opened);
        EXPECT_EQ(error, c.expected == BoundedOpen::Failed ? c.expectedErrno : 0);
        if (c.make == Make::Bytes || c.make == Make::LinkToBytes) {
            EXPECT_EQ(static_cast<std::size_t>(st.st_size), c.expected == BoundedOpen::Failed ? 0 : c.size);
        }
    }
}

TEST_F(DescriptorTest, ReadsAndWritesWholeThroughASignal) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    CFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    // A read blocked on an empty pipe, interrupted, then given its bytes.
    std::string got(5, '\0');
    std::size_t count = 0;
    bool read = false;
    InterruptWhileBlocked([&] { read = ReadFull(readEnd.Get(), got.data(), got.size(), count); },
                          [&] { ASSERT_TRUE(WriteAll(writeEnd.Get(), "hello")); });
    EXPECT_TRUE(read);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(got, "hello");

    // A write blocked on a full pipe, interrupted, then drained: every byte arrives once.
    const std::string bytes(static_cast<std::size_t>(fcntl(writeEnd.Get(), F_GETPIPE_SZ)) * 2, 'q');
    bool written = false;
    std::string drained(bytes.size(), '\0');
    InterruptWhileBlocked(
        [&] { written = WriteAll(writeEnd.Get(), bytes); },
        [&] { ASSERT_TRUE(ReadFull(readEnd.Get(), drained.data(), drained.size(), count)); });
    EXPECT_TRUE(written);
    EXPECT_EQ(drained, bytes);

    // The end of the file stops a whole read short, and says how much came.
    writeEnd.Reset();
    EXPECT_TRUE(ReadFull(readEnd.Get(), got.data(), got.size(), count));
    EXPECT_EQ(count, 0u);
}

} // namespace
