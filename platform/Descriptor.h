#pragma once
// File descriptors: an owner that closes, and whole reads and writes that retry the calls a
// signal interrupts (EINTR), so that no caller has to.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

// A descriptor closed when the holder goes. Closing keeps errno as it was.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CFd& operator=(CFd&& other) noexcept;
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    void Reset();

private:
    int m_fd = -1;
};

// One read(2), repeated while a signal interrupts it: what read returns otherwise.
ssize_t ReadOnce(int fd, void* buffer, std::size_t size);

// Reads until `size` bytes are in or the file ends; `got` gets how many came, also on failure.
// False with errno set when a read fails.
bool ReadFull(int fd, void* buffer, std::size_t size, std::size_t& got);

// Writes all of `bytes`. False with errno set; a write that takes nothing counts as ENOSPC.
bool WriteAll(int fd, const void* bytes, std::size_t size);
bool WriteAll(int fd, std::string_view bytes);

// What OpenBoundedFile found at a path.
enum class BoundedOpen {
    Opened,     // a regular file of at most the bound, open
    Failed,     // could not be opened or looked at: errno says why
    NotRegular, // a directory, FIFO, device or socket
    TooLarge    // a regular file larger than the bound
};

// Opens `path` to be read whole. The open never blocks (a FIFO without a writer or a device is
// looked at, never waited for), and only a regular file of at most `maxBytes` is kept open in `fd`,
// with its stat in `st`. `extraFlags` add to O_RDONLY | O_NONBLOCK | O_CLOEXEC (O_NOFOLLOW,
// O_NOCTTY).
BoundedOpen OpenBoundedFile(const std::string& path, int extraFlags, std::uint64_t maxBytes, CFd& fd,
                            struct stat& st);
