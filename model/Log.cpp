#include "model/Log.h"

#include "model/SafeText.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LogSinks {
    std::mutex lock;
    bool toStandardError = false;
    LogLevel standardErrorMinimum = LogLevel::Warning;
    int fileFd = -1;
    std::string filePath;
    LogLevel fileMinimum = LogLevel::Info;
    std::uint64_t fileMaxBytes = kLogFileMaxBytes;
    std::uint64_t fileSize = 0;
};

LogSinks& Sinks() {
    static LogSinks sinks;
    return sinks;
}

const char* LevelName(LogLevel level) {
    switch (level) {
    case LogLevel::Info:
        return "INFO";
    case LogLevel::Warning:
        return "WARN";
    case LogLevel::Error:
        return "ERROR";
    }
    return "?";
}

std::string FormatLine(LogLevel level, std::string_view text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[48];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d ", static_cast<int>(millis));
    std::string line = stamp;
    line += LevelName(level);
    line += ' ';
    // One event, one line: texts that span lines (status texts) are joined. What is left of the
    // text is escaped as on standard output: a server's reply quoted in a line must not drive the
    // terminal that shows standard error or the log file.
    std::string joined = HideUrlPasswords(text);
    for (char& c : joined)
        if (c == '\n' || c == '\r')
            c = ' ';
    AppendEscapedText(line, joined);
    line += '\n';
    return line;
}

void WriteAll(int fd, const std::string& line) {
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a log that cannot be written is not worth failing anything for
        done += static_cast<std::size_t>(n);
    }
}

bool OpenLogFile(LogSinks& sinks) {
    const int fd = open(sinks.filePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return false;
    struct stat st {};
    sinks.fileSize = fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    sinks.fileFd = fd;
    return true;
}

void CloseLogFile(LogSinks& sinks) {
    if (sinks.fileFd >= 0)
        close(sinks.fileFd);
    sinks.fileFd = -1;
}

void WriteToFile(LogSinks& sinks, const std::string& line) {
    if (sinks.fileSize > 0 && sinks.fileSize + line.size() > sinks.fileMaxBytes) {
        CloseLogFile(sinks);
        rename(sinks.filePath.c_str(), (sinks.filePath + ".1").c_str());
        if (!OpenLogFile(sinks))
            return;
    }
    WriteAll(sinks.fileFd, line);
    sinks.fileSize += line.size();
}

} // namespace

std::string HideUrlPasswords(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t scheme = text.find("://", pos);
        if (scheme == std::string_view::npos)
            break;
        const std::size_t login = scheme + 3;
        // The login part ends at the first '/' (or the end); its last '@' ends the password.
        const std::size_t slash = text.find_first_of("/ \t\n", login);
        const std::string_view authority =
            text.substr(login, slash == std::string_view::npos ? slash : slash - login);
        const std::size_t at = authority.rfind('@');
        const std::size_t colon = at == std::string_view::npos ? at : authority.substr(0, at).find(':');
        if (colon == std::string_view::npos) {
            out.append(text.substr(pos, login - pos));
            pos = login;
            continue;
        }
        out.append(text.substr(pos, login + colon + 1 - pos));
        out.append("***");
        pos = login + at;
    }
    out.append(text.substr(pos));
    return out;
}

void Log(LogLevel level, std::string_view text) {
    LogSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.lock);
    const bool toError = sinks.toStandardError && level >= sinks.standardErrorMinimum;
    const bool toFile = sinks.fileFd >= 0 && level >= sinks.fileMinimum;
    if (!toError && !toFile)
        return;
    const std::string line = FormatLine(level, text);
    if (toError)
        WriteAll(STDERR_FILENO, line);
    if (toFile)
        WriteToFile(sinks, line);
}

void LogToStandardError(LogLevel minimum) {
    LogSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.lock);
    sinks.toStandardError = true;
    sinks.standardErrorMinimum = minimum;
}

bool LogToFile(const std::string& path, LogLevel minimum, std::uint64_t maxBytes) {
    LogSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.lock);
    CloseLogFile(sinks);
    sinks.filePath = path;
    sinks.fileMinimum = minimum;
    sinks.fileMaxBytes = maxBytes;
    return OpenLogFile(sinks);
}

void StopLogging() {
    LogSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.lock);
    CloseLogFile(sinks);
    sinks.toStandardError = false;
}
