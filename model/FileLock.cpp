#include "model/FileLock.h"

#include "model/FileError.h"
#include "model/Log.h"
#include "model/Paths.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Makes every missing directory above `path`; failures show when the file is opened.
void MakeParents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0777);
}

int OpenLockFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == ENOENT) {
        MakeParents(path);
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    }
    return fd;
}

std::string LocksDir() {
    return GetAppDir() + "/.locks";
}

} // namespace

CFileLock& CFileLock::operator=(CFileLock&& other) noexcept {
    if (this != &other) {
        Unlock();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool CFileLock::Lock(const std::string& path, std::chrono::milliseconds timeout) {
    Unlock();
    const int fd = OpenLockFile(path);
    if (fd < 0)
        return false;
    // Polled rather than blocking, so that a holder that hangs costs a bounded wait.
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + timeout;
    auto pause = std::chrono::milliseconds(1);
    auto waited = [&start] {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count()) +
               " ms";
    };
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (pause > std::chrono::milliseconds(1))
                LogInfo("waited " + waited() + " for the lock " + path);
            m_fd = fd;
            return true;
        }
        const int error = errno;
        if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            if (timeout.count() > 0)
                LogWarning("gave up on the lock " + path + " after " + waited() + ": " + ErrnoText(error));
            close(fd);
            errno = error == EINTR ? EWOULDBLOCK : error;
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

void CFileLock::Unlock() {
    if (m_fd >= 0) {
        const int error = errno;
        close(m_fd); // the lock goes with the last descriptor of its open file
        errno = error;
        m_fd = -1;
    }
}

std::string SiteListLockPath() {
    return SiteListPath() + ".lock";
}

std::string SiteSaveLockPath(const std::string& key) {
    return LocksDir() + "/save/" + key;
}

std::string SiteUpdateLockPath(const std::string& key) {
    return LocksDir() + "/update/" + key;
}

std::string WindowLockPath() {
    return LocksDir() + "/window";
}
