#include "platform/Descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

CFd& CFd::operator=(CFd&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void CFd::Reset() {
    if (m_fd >= 0) {
        const int error = errno;
        close(m_fd);
        errno = error;
    }
    m_fd = -1;
}

ssize_t ReadOnce(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = read(fd, buffer, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool ReadFull(int fd, void* buffer, std::size_t size, std::size_t& got) {
    auto* bytes = static_cast<char*>(buffer);
    got = 0;
    while (got < size) {
        const ssize_t n = ReadOnce(fd, bytes + got, size - got);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* bytes, std::size_t size) {
    const auto* data = static_cast<const char*>(bytes);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, std::string_view bytes) {
    return WriteAll(fd, bytes.data(), bytes.size());
}

BoundedOpen OpenBoundedFile(const std::string& path, int extraFlags, std::uint64_t maxBytes, CFd& fd,
                            struct stat& st) {
    fd = CFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags));
    if (!fd.IsOpen())
        return BoundedOpen::Failed;
    BoundedOpen found = BoundedOpen::Opened;
    if (fstat(fd.Get(), &st) != 0)
        found = BoundedOpen::Failed;
    else if (!S_ISREG(st.st_mode))
        found = BoundedOpen::NotRegular;
    else if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        found = BoundedOpen::TooLarge;
    if (found != BoundedOpen::Opened)
        fd.Reset(); // keeps errno
    return found;
}
