#include "model/FileError.h"

#include <string.h>

std::string ErrnoText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}

std::string FileError::Text() const {
    return path + ": " + message;
}

FileError FileError::FromErrno(std::string path, int error) {
    return FileError{std::move(path), error, ErrnoText(error)};
}

FileError FileError::Damaged(std::string path, std::string reason) {
    return FileError{std::move(path), 0, std::move(reason)};
}
