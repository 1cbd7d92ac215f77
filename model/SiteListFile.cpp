#include "model/SiteListFile.h"

#include "model/AtomicFile.h"
#include "model/DataArchive.h"
#include "model/Log.h"
#include "model/ReadOnlyAccess.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUnexpectedFormat = "Unexpected file format.";
constexpr const char* kFailedToOpen = "Failed to open document.";

SiteListLoadResult Failure(SiteListLoadResult::Outcome outcome, std::string message, bool modified) {
    SiteListLoadResult result;
    result.outcome = outcome;
    result.message = std::move(message);
    result.modified = modified;
    return result;
}

// Opens `path` for reading as a regular file; -1 with errno set otherwise.
int OpenRegular(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

// Temporary files of saves that were killed (site.ds.tmp-XXXXXX): they hold the passwords too.
void RemoveStaleCopies(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    RemoveStaleTemporaryFiles(dirFd, base);
    close(dirFd);
}

void ReadSites(CDataArchive& ar, CObList<CFTPSite>& list) {
    uint32_t count = ar.ReadCount();
    for (; count > 0; --count) {
        if (ar.ReadObjectTag() != &CFTPSite::classCFTPSite)
            throw CArchiveException(CArchiveException::badClass);
        auto site = std::make_unique<CFTPSite>();
        site->Persist(ar);
        list.AddTail(std::move(site));
    }
}

} // namespace

SiteListLoadResult LoadSiteList(const std::string& path, CObList<CFTPSite>& list) {
    const bool readOnly = IsReadOnlyAccess();
    if (!readOnly)
        RemoveStaleCopies(path);
    int fd = OpenRegular(path);
    if (fd < 0 && errno == ENOENT && readOnly)
        return {}; // no list yet: nothing to show, and nothing is created
    if (fd < 0 && errno == ENOENT) {
        // First start: create the file empty. O_EXCL, so nothing that exists is ever truncated.
        const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created >= 0)
            close(created);
        fd = OpenRegular(path);
    }
    if (fd < 0) {
        const int error = errno;
        SiteListLoadResult failed = Failure(SiteListLoadResult::FileError,
                                            CFileException::FromErrno(error, path).GetErrorMessage(), false);
        failed.cause = ::FileError::FromErrno(path, error);
        LogError("site list not read: " + failed.cause.Text());
        return failed;
    }

    SiteListLoadResult result;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size == 0) {
        close(fd);
        return result;
    }
    try {
        CDataArchive ar(fd, CDataArchive::load, path);
        result = ReadSiteList(ar, list, static_cast<uint64_t>(st.st_size));
    } catch (const std::exception&) {
        result = Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true); // no memory for the buffer
        result.cause = ::FileError::FromErrno(path, ENOMEM);
    }
    close(fd);
    if (result.outcome != SiteListLoadResult::Ok) {
        result.cause.path = path;
        LogError("site list read only in part (" + std::to_string(list.GetCount()) +
                 " sites kept): " + result.cause.Text());
    }
    return result;
}

SiteListLoadResult ReadSiteList(CDataArchive& ar, CObList<CFTPSite>& list, uint64_t size) {
    // Where reading stopped, for the cause.
    auto where = [&ar, size](const char* what) {
        const uint64_t left = ar.BytesLeft();
        if (size == 0 || left > size)
            return std::string(what) + ", " + std::to_string(left) + " bytes unread";
        return std::string(what) + " at byte " + std::to_string(size - left) + " of " + std::to_string(size);
    };
    SiteListLoadResult failed;
    try {
        ReadSites(ar, list);
        return failed;
    } catch (const CArchiveException& e) {
        switch (e.m_cause) {
        case CArchiveException::endOfFile:
        case CArchiveException::badIndex:
        case CArchiveException::badClass:
        case CArchiveException::badSchema:
            failed = Failure(SiteListLoadResult::BadFormat, kUnexpectedFormat, true);
            break;
        default:
            failed = Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true);
            break;
        }
        failed.cause = ::FileError::Damaged({}, where(e.what()));
    } catch (const CFileException& e) {
        failed = Failure(SiteListLoadResult::FileError, e.GetErrorMessage(), true);
        failed.cause = ::FileError::FromErrno(e.m_strFileName, e.m_lOsError != 0 ? e.m_lOsError : EIO);
    } catch (const std::bad_alloc&) {
        failed = Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true);
        failed.cause = ::FileError::FromErrno({}, ENOMEM);
    } catch (const std::exception& e) {
        failed = Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true);
        failed.cause = ::FileError::Damaged({}, where(e.what()));
    }
    return failed;
}

CResult<void> SaveSiteList(const std::string& path, const CObList<CFTPSite>& list) {
    auto failed = [&path](int error) {
        FileError failure = FileError::FromErrno(path, error);
        LogError("site list not saved: " + failure.Text());
        errno = error;
        return failure;
    };
    CAtomicFile file(path, 0600);
    if (!file.Open())
        return failed(errno);
    try {
        CDataArchive ar(file.Fd(), CDataArchive::store, path);
        ar.WriteCount(list.GetCount());
        for (CFTPSite* site : list)
            ar.WriteObject(*site);
        ar.Close();
    } catch (const CFileException& e) {
        return failed(e.m_lOsError != 0 ? e.m_lOsError : EIO);
    } catch (const std::bad_alloc&) {
        return failed(ENOMEM);
    } catch (const std::exception&) {
        return failed(EIO);
    }
    if (!file.Commit())
        return failed(errno);
    return {};
}
