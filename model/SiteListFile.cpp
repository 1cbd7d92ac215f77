#include "model/SiteListFile.h"

#include "model/AtomicFile.h"
#include "model/DataArchive.h"

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
    RemoveStaleCopies(path);
    int fd = OpenRegular(path);
    if (fd < 0 && errno == ENOENT) {
        // First start: create the file empty. O_EXCL, so nothing that exists is ever truncated.
        const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created >= 0)
            close(created);
        fd = OpenRegular(path);
    }
    if (fd < 0)
        return Failure(SiteListLoadResult::FileError,
                       CFileException::FromErrno(errno, path).GetErrorMessage(), false);

    SiteListLoadResult result;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size == 0) {
        close(fd);
        return result;
    }
    try {
        CDataArchive ar(fd, CDataArchive::load, path);
        result = ReadSiteList(ar, list);
    } catch (const std::exception&) {
        result = Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true); // no memory for the buffer
    }
    close(fd);
    return result;
}

SiteListLoadResult ReadSiteList(CDataArchive& ar, CObList<CFTPSite>& list) {
    try {
        ReadSites(ar, list);
    } catch (const CArchiveException& e) {
        switch (e.m_cause) {
        case CArchiveException::endOfFile:
        case CArchiveException::badIndex:
        case CArchiveException::badClass:
        case CArchiveException::badSchema:
            return Failure(SiteListLoadResult::BadFormat, kUnexpectedFormat, true);
        default:
            return Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true);
        }
    } catch (const CFileException& e) {
        return Failure(SiteListLoadResult::FileError, e.GetErrorMessage(), true);
    } catch (const std::exception&) {
        return Failure(SiteListLoadResult::OpenFailed, kFailedToOpen, true);
    }
    return SiteListLoadResult();
}

bool SaveSiteList(const std::string& path, const CObList<CFTPSite>& list) {
    CAtomicFile file(path, 0600);
    if (!file.Open())
        return false;
    try {
        CDataArchive ar(file.Fd(), CDataArchive::store, path);
        ar.WriteCount(list.GetCount());
        for (CFTPSite* site : list)
            ar.WriteObject(*site);
        ar.Close();
    } catch (const std::exception&) {
        return false;
    }
    return file.Commit();
}
