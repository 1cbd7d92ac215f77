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
    // A pipe or a device by the lock's name is not a lock file either.
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// True when `path` still names the file open as `fd`.
bool IsStillAt(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

std::string LocksDir() {
    return GetAppDir() + "/.locks";
}

} // namespace

CFileLock& CFileLock::operator=(CFileLock&& other) noexcept {
    if (this != &other) {
        Unlock();
        m_fd = other.m_fd;
        m_strPath = std::move(other.m_strPath);
        other.m_fd = -1;
    }
    return *this;
}

bool CFileLock::Lock(const std::string& path, std::chrono::milliseconds timeout) {
    Unlock();
    int fd = OpenLockFile(path);
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
            if (!IsStillAt(fd, path)) {
                // Its holder removed the file (the site went): a lock on it excludes no one who
                // opens the path now. Start again on the file that is there.
                close(fd);
                fd = OpenLockFile(path);
                if (fd < 0)
                    return false;
                continue;
            }
            if (pause > std::chrono::milliseconds(1))
                LogInfo("waited " + waited() + " for the lock " + path);
            m_fd = fd;
            m_strPath = path;
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

void CFileLock::UnlockAndRemove() {
    if (m_fd >= 0 && IsStillAt(m_fd, m_strPath))
        unlink(m_strPath.c_str());
    Unlock();
}

FileError LockFailure(const std::string& path, int error) {
    if (error == EWOULDBLOCK)
        return FileError{path, error, "held by another program for too long"};
    if (error == ELOOP)
        return FileError{path, error, "is a symbolic link, not a lock file"};
    if (error == EISDIR)
        return FileError{path, error, "is a directory, not a lock file"};
    if (error == EINVAL)
        return FileError{path, error, "is not a regular file, not a lock file"};
    if (error == ENOTDIR) {
        // The one of its parents that is something else than a directory.
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            struct stat st {};
            const std::string parent = path.substr(0, slash);
            if (lstat(parent.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                return FileError{parent, error, "is not a directory; the lock " + path + " cannot be made"};
        }
    }
    return FileError::FromErrno(path, error);
}

void CFileLock::Unlock() {
    if (m_fd >= 0) {
        const int error = errno;
        close(m_fd); // the lock goes with the last descriptor of its open file
        errno = error;
        m_fd = -1;
        m_strPath.clear();
    }
}

bool RemoveLockFile(const std::string& path) {
    // Only a free lock is removed, and only while it is held: whoever opened the file before the
    // unlink and locks it afterwards sees it gone and takes the new file instead.
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return errno == ENOENT;
    CFileLock lock;
    if (!lock.Lock(path, std::chrono::milliseconds(0)))
        return errno == ENOENT;
    return unlink(path.c_str()) == 0;
}

void RemoveSiteLockFiles(const std::string& key) {
    if (!IsUsableSiteKey(key))
        return;
    RemoveLockFile(SiteUpdateLockPath(key));
    RemoveLockFile(SiteSaveLockPath(key));
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
