#pragma once
// Advisory locks (flock) on small lock files, so that the programs sharing one program directory
// (the window and any number of quarnel-cli runs) take turns at the files they all write. The
// lock files live beside the data, never on it: site.ds and Data/KEY are replaced by renames, and
// a lock on a file that a rename replaces protects nothing.

#include "model/FileError.h"

#include <chrono>
#include <string>

class CFileLock {
public:
    CFileLock() = default;
    ~CFileLock() { Unlock(); }
    CFileLock(CFileLock&& other) noexcept : m_fd(other.m_fd), m_strPath(std::move(other.m_strPath)) {
        other.m_fd = -1;
    }
    CFileLock& operator=(CFileLock&& other) noexcept;
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    // Takes the lock of `path` exclusively, creating the file (and its directory) when missing.
    // Waits up to `timeout` (0: only tries). False when another holder kept it (errno
    // EWOULDBLOCK) or the file could not be opened (errno tells why: a directory, a symbolic
    // link or a plain file in the lock's place are never taken for the lock, and a caller goes
    // no further without it).
    bool Lock(const std::string& path, std::chrono::milliseconds timeout);
    void Unlock();
    bool IsLocked() const { return m_fd >= 0; }
    // Removes the lock file while it is held, then lets go: whoever opened it before and locks it
    // afterwards sees it gone and takes a new one.
    void UnlockAndRemove();

private:
    int m_fd = -1;
    std::string m_strPath;
};

// Why the lock `path` could not be taken, after Lock failed with `error`: the file to blame (a
// parent that is not a directory where that is the cause) and a text that says what is wrong.
FileError LockFailure(const std::string& path, int error);

// How long a writer waits for another program's short save before it gives up.
inline constexpr std::chrono::milliseconds kSaveLockWait{60000};

// Removes the lock file at `path` when no program holds it (a held one stays). True when it is
// gone.
bool RemoveLockFile(const std::string& path);
// The save and update lock files of a site that no longer exists under `key`.
void RemoveSiteLockFiles(const std::string& key);

std::string SiteListLockPath();                         // APPDIR/site.ds.lock
std::string SiteSaveLockPath(const std::string& key);   // APPDIR/.locks/save/KEY: writing the pair
std::string SiteUpdateLockPath(const std::string& key); // APPDIR/.locks/update/KEY: crawling the site
std::string WindowLockPath();                           // APPDIR/.locks/window: the one window program
