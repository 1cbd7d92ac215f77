#pragma once
// The two errors of the storage code: a damaged archive (CArchiveException) and a failing file
// (CFileException, whose message names the file).

#include <exception>
#include <string>

class CArchiveException : public std::exception {
public:
    enum Cause { none, generic, readOnly, endOfFile, writeOnly, badIndex, badClass, badSchema };

    explicit CArchiveException(Cause cause) : m_cause(cause) {}
    const char* what() const noexcept override;

    Cause m_cause;
};

class CFileException : public std::exception {
public:
    enum Cause {
        none,
        generic,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };

    CFileException(Cause cause, int osError, std::string fileName);

    // The cause that matches an errno value.
    static Cause CauseFromErrno(int error);
    static CFileException FromErrno(int error, const std::string& fileName) {
        return CFileException(CauseFromErrno(error), error, fileName);
    }

    // The text shown to the user, e.g. "/path/site.ds was not found.".
    const std::string& GetErrorMessage() const { return m_strMessage; }
    const char* what() const noexcept override { return m_strMessage.c_str(); }

    Cause m_cause;
    int m_lOsError;
    std::string m_strFileName;

private:
    std::string m_strMessage;
};
