#include "model/ArchiveException.h"

#include <cerrno>

const char* CArchiveException::what() const noexcept {
    switch (m_cause) {
    case none:
        return "no archive error";
    case generic:
        return "archive error";
    case readOnly:
        return "write to an archive opened for loading";
    case endOfFile:
        return "unexpected end of archive";
    case writeOnly:
        return "read from an archive opened for storing";
    case badIndex:
        return "bad index in archive";
    case badClass:
        return "unexpected class in archive";
    case badSchema:
        return "unexpected schema in archive";
    }
    return "archive error";
}

namespace {

const char* MessageFormat(CFileException::Cause cause) {
    switch (cause) {
    case CFileException::none:
        return "No error occurred.";
    case CFileException::fileNotFound:
        return "%1 was not found.";
    case CFileException::badPath:
        return "%1 contains an invalid path.";
    case CFileException::tooManyOpenFiles:
        return "Unable to open %1 because there are too many open files.";
    case CFileException::accessDenied:
        return "Access to %1 was denied.";
    case CFileException::invalidFile:
        return "An invalid file handle was used with %1.";
    case CFileException::removeCurrentDir:
        return "%1 could not be removed because it is the current directory.";
    case CFileException::directoryFull:
        return "%1 could not be created because the directory is full.";
    case CFileException::badSeek:
        return "Seek failed on %1";
    case CFileException::hardIO:
        return "A hardware I/O error was reported while accessing %1.";
    case CFileException::sharingViolation:
        return "A sharing violation occurred while accessing %1.";
    case CFileException::lockViolation:
        return "A locking violation occurred while accessing %1.";
    case CFileException::diskFull:
        return "Disk full while accessing %1.";
    case CFileException::endOfFile:
        return "An attempt was made to access %1 past its end.";
    case CFileException::generic:
        break;
    }
    return "An unexpected error occurred while accessing %1.";
}

} // namespace

CFileException::CFileException(Cause cause, int osError, std::string fileName)
    : m_cause(cause), m_lOsError(osError), m_strFileName(std::move(fileName)) {
    const std::string format = MessageFormat(cause);
    const std::size_t at = format.find("%1");
    m_strMessage =
        at == std::string::npos ? format : format.substr(0, at) + m_strFileName + format.substr(at + 2);
}

CFileException::Cause CFileException::CauseFromErrno(int error) {
    switch (error) {
    case 0:
        return none;
    case ENOENT:
        return fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
        return badPath;
    case EMFILE:
    case ENFILE:
        return tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return accessDenied;
    case EBADF:
        return invalidFile;
    case EBUSY:
        return sharingViolation;
    case ENOLCK:
        return lockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return diskFull;
    case EIO:
        return hardIO;
    case ESPIPE:
        return badSeek;
    default:
        return generic;
    }
}
