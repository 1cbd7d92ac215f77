#include "model/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr std::size_t kSuffixLength = 6;
constexpr char kSuffixLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool IsSuffixLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void SyncDirectory(int dirFd, const std::string& pathForCwd) {
    if (dirFd != AT_FDCWD) {
        fsync(dirFd);
        return;
    }
    const int fd = open(DirectoryOf(pathForCwd).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

std::string RandomNameSuffix() {
    unsigned char bytes[kSuffixLength];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet (early boot): the exclusive create makes any name safe, only collisions
        // cost a retry.
        static std::atomic<uint64_t> counter{0};
        uint64_t mix = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                       (static_cast<uint64_t>(getpid()) << 32) ^ (++counter * 0x9E3779B97F4A7C15ull);
        for (unsigned char& byte : bytes) {
            mix = (mix ^ (mix >> 31)) * 0xBF58476D1CE4E5B9ull;
            byte = static_cast<unsigned char>(mix >> 56);
        }
    }
    std::string suffix;
    for (unsigned char byte : bytes)
        suffix += kSuffixLetters[byte % (sizeof kSuffixLetters - 1)];
    return suffix;
}

bool IsTemporaryName(std::string_view name, std::string_view base) {
    if (name.size() < kTemporaryMark.size() + kSuffixLength + (base.empty() ? 1 : base.size()))
        return false;
    const std::size_t mark = name.size() - kSuffixLength - kTemporaryMark.size();
    if (!base.empty() && name.substr(0, mark) != base)
        return false;
    if (name.substr(mark, kTemporaryMark.size()) != kTemporaryMark)
        return false;
    for (char c : name.substr(mark + kTemporaryMark.size()))
        if (!IsSuffixLetter(c))
            return false;
    return true;
}

bool LockIfUnused(int fd) {
    return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

int CreateLockedTemporary(int dirFd, const std::string& prefix, mode_t mode, bool directory,
                          std::string& made) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + RandomNameSuffix();
        int fd = -1;
        if (directory) {
            if (mkdirat(dirFd, name.c_str(), mode) != 0) {
                if (errno == EEXIST)
                    continue;
                return -1;
            }
            fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                if (errno == ENOENT)
                    continue; // taken for a leftover and removed before we held it
                const int error = errno;
                unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
                errno = error;
                return -1;
            }
        } else {
            fd = openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                return -1;
            }
        }
        // A cleaner of leftovers may have seen the new name before the lock was taken: then it
        // holds the lock, or has removed the name. Either way, start over with another name.
        struct stat mine {
        }, named{};
        const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
        if (locked && fstat(fd, &mine) == 0 &&
            fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && mine.st_dev == named.st_dev &&
            mine.st_ino == named.st_ino) {
            made = name;
            return fd;
        }
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

bool RemoveStaleTemporaryFiles(int dirFd, std::string_view base) {
    const int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return false;
    DIR* dir = fdopendir(listFd);
    if (!dir) {
        close(listFd);
        return false;
    }
    bool kept = false;
    std::vector<std::string> candidates;
    while (const dirent* entry = readdir(dir))
        if (IsTemporaryName(entry->d_name, base))
            candidates.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string& name : candidates) {
        const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ELOOP)
                unlinkat(dirFd, name.c_str(), 0); // a link by a temporary's name is nobody's work
            continue;
        }
        struct stat st {};
        if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
            if (LockIfUnused(fd))
                unlinkat(dirFd, name.c_str(), 0);
            else
                kept = true;
        }
        close(fd);
    }
    return kept;
}

CAtomicFile::CAtomicFile(std::string targetPath, mode_t mode)
    : m_dirFd(AT_FDCWD), m_strTarget(std::move(targetPath)), m_mode(mode) {}

CAtomicFile::CAtomicFile(int dirFd, std::string name, mode_t mode)
    : m_dirFd(dirFd), m_strTarget(std::move(name)), m_mode(mode) {}

CAtomicFile::~CAtomicFile() {
    Discard();
}

bool CAtomicFile::Open() {
    Discard();
    std::string made;
    const int fd =
        CreateLockedTemporary(m_dirFd, m_strTarget + std::string(kTemporaryMark), m_mode, false, made);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_strTemp = made;
    return true;
}

bool CAtomicFile::Commit() {
    if (m_fd < 0)
        return false;
    // The lock is kept through the rename, so nobody takes the temporary file for a leftover.
    if (fsync(m_fd) != 0 || renameat(m_dirFd, m_strTemp.c_str(), m_dirFd, m_strTarget.c_str()) != 0) {
        const int error = errno;
        Discard();
        errno = error;
        return false;
    }
    m_strTemp.clear();
    close(m_fd); // the data are on disk already: what close says changes nothing
    m_fd = -1;
    // Make the rename itself durable.
    SyncDirectory(m_dirFd, m_strTarget);
    return true;
}

void CAtomicFile::Discard() {
    if (!m_strTemp.empty()) {
        unlinkat(m_dirFd, m_strTemp.c_str(), 0);
        m_strTemp.clear();
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}
