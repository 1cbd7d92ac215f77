#pragma once
// Replaces a file all at once: the new content goes to a temporary file beside the target, is
// flushed to disk, and is then renamed over the target. Until Commit succeeds the old file stays
// whole; a writer that fails or gives up leaves it untouched and the temporary file is removed.
//
// Temporary names are the target's name followed by ".tmp-" and six letters or digits. A writer
// holds an exclusive flock on its temporary file or directory while it works: one that nobody
// holds was left by a writer that died, and is safe to remove.

#include <string>
#include <string_view>
#include <sys/types.h>

class CAtomicFile {
public:
    // `mode` is handed to open(2), so the umask acts on it as on any new file.
    CAtomicFile(std::string targetPath, mode_t mode);
    // The target `name` inside the open directory `dirFd` (kept open by the caller until the
    // object is gone): the rename then lands in that directory even if its path changes meanwhile.
    CAtomicFile(int dirFd, std::string name, mode_t mode);
    ~CAtomicFile(); // removes the temporary file unless committed

    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Creates the temporary file; false (errno set) when the directory does not allow it.
    bool Open();
    int Fd() const { return m_fd; }
    const std::string& TargetPath() const { return m_strTarget; }

    // fsync and rename over the target, then fsync the directory. False on any failure (errno
    // set), with the target as it was.
    bool Commit();

private:
    void Discard();

    int m_dirFd;
    std::string m_strTarget; // relative to m_dirFd
    std::string m_strTemp;
    mode_t m_mode;
    int m_fd = -1;
};

// Six random letters or digits, the variable part of a temporary name.
std::string RandomNameSuffix();

// True when `name` is `base` + ".tmp-" + six letters or digits; an empty `base` stands for any
// non-empty name.
bool IsTemporaryName(std::string_view name, std::string_view base);

// Creates `prefix` + six random letters or digits inside `dirFd` (a regular file opened for
// reading and writing, or a directory opened for reading), exclusively, with `mode` for open(2) or
// mkdir(2), and takes its flock. Returns the descriptor, or -1 with errno set; `made` gets the name.
int CreateLockedTemporary(int dirFd, const std::string& prefix, mode_t mode, bool directory,
                          std::string& made);

// Takes the exclusive flock of `fd` without waiting. False only when another open file holds it,
// i.e. its writer is still at work (a file system without flock counts as nobody holding it).
bool LockIfUnused(int fd);

// Removes from the directory `dirFd` every temporary file of `base` (see IsTemporaryName) that no
// live writer holds. True when one that a live writer holds was kept.
bool RemoveStaleTemporaryFiles(int dirFd, std::string_view base);
