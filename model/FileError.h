#pragma once
// What went wrong with one data file: the file, the system's error number (0 for a file that
// could be read but is damaged) and a text that says why. CResult<T> is a value or such an error,
// so that a failed load or save carries its cause up to whoever shows it.

#include <cassert>
#include <string>
#include <utility>
#include <variant>

struct FileError {
    std::string path;
    int errnoValue = 0;  // 0: the file is damaged rather than unreadable
    std::string message; // the system's text for errnoValue, or what is wrong with the content

    // "PATH: MESSAGE", the form shown and logged.
    std::string Text() const;

    static FileError FromErrno(std::string path, int error);
    static FileError Damaged(std::string path, std::string reason);
};

// The system's text for an errno value ("No space left on device").
std::string ErrnoText(int error);

template <class T> class CResult {
public:
    CResult(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    CResult(FileError error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() {
        assert(ok());
        return std::get<0>(m_state);
    }
    const T& value() const {
        assert(ok());
        return std::get<0>(m_state);
    }
    const FileError& error() const {
        assert(!ok());
        return std::get<1>(m_state);
    }

private:
    std::variant<T, FileError> m_state;
};

template <> class CResult<void> {
public:
    CResult() = default;
    CResult(FileError error) : m_error(std::move(error)), m_bOk(false) {}

    bool ok() const { return m_bOk; }
    explicit operator bool() const { return m_bOk; }
    const FileError& error() const {
        assert(!m_bOk);
        return m_error;
    }

private:
    FileError m_error;
    bool m_bOk = true;
};
