#pragma once
// Replaces a file all at once: the new content goes to a temporary file beside the target, is
// flushed to disk, and is then renamed over the target. Until Commit succeeds the old file stays
// whole; a writer that fails or gives up leaves it untouched and the temporary file is removed.

#include <string>
#include <sys/types.h>

class CAtomicFile {
public:
    CAtomicFile(std::string targetPath, mode_t mode);
    ~CAtomicFile(); // removes the temporary file unless committed

    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Creates the temporary file; false (errno set) when the directory does not allow it.
    bool Open();
    int Fd() const { return m_fd; }
    const std::string& TargetPath() const { return m_strTarget; }

    // fsync, close and rename over the target, then fsync the directory. False on any failure,
    // with the target as it was.
    bool Commit();

private:
    void Discard();

    std::string m_strTarget;
    std::string m_strTemp;
    mode_t m_mode;
    int m_fd = -1;
};
