#include "model/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}
} // namespace

CAtomicFile::CAtomicFile(std::string targetPath, mode_t mode)
    : m_strTarget(std::move(targetPath)), m_mode(mode) {}

CAtomicFile::~CAtomicFile() {
    Discard();
}

bool CAtomicFile::Open() {
    Discard();
    std::string pattern = m_strTarget + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkstemp creates the file with mode 0600, so a password file is never readable by others,
    // not even for a moment.
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_strTemp.assign(name.data());
    if ((m_mode & 07777) != 0600 && fchmod(fd, m_mode) != 0) {
        const int error = errno;
        Discard();
        errno = error;
        return false;
    }
    return true;
}

bool CAtomicFile::Commit() {
    if (m_fd < 0)
        return false;
    bool ok = fsync(m_fd) == 0;
    if (close(m_fd) != 0)
        ok = false;
    m_fd = -1;
    if (!ok || rename(m_strTemp.c_str(), m_strTarget.c_str()) != 0) {
        const int error = errno;
        Discard();
        errno = error;
        return false;
    }
    m_strTemp.clear();
    // Make the rename itself durable.
    const int dirFd = open(DirectoryOf(m_strTarget).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

void CAtomicFile::Discard() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_strTemp.empty()) {
        unlink(m_strTemp.c_str());
        m_strTemp.clear();
    }
}
