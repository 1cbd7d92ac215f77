#pragma once
// The program's log: one line per event ("2024-05-01 12:00:00.123 WARN text"), written to the
// sinks that the program sets up at start: standard error (quarnel-cli --verbose) and/or a log
// file (the window program's quarnel.log, which starts afresh in quarnel.log.1 once it is full).
// Nothing is written before a sink is set. Safe from any thread.
//
// Lines name sites by key and files by path. A login never belongs in them; as a second line of
// defence, the password of anything that looks like a URL ("scheme://user:password@") is blanked
// before a line is written. Control characters and bidirectional overrides in a line are escaped
// as on quarnel-cli's standard output (model/SafeText.h); line ends join the lines of a text.

#include <cstdint>
#include <string>
#include <string_view>

enum class LogLevel { Info, Warning, Error };

void Log(LogLevel level, std::string_view text);
inline void LogInfo(std::string_view text) {
    Log(LogLevel::Info, text);
}
inline void LogWarning(std::string_view text) {
    Log(LogLevel::Warning, text);
}
inline void LogError(std::string_view text) {
    Log(LogLevel::Error, text);
}

// Lines of `minimum` and above go to standard error.
void LogToStandardError(LogLevel minimum);
// Lines of `minimum` and above are appended to `path` (created with what the umask leaves of
// 0666). A line that would take the file beyond `maxBytes` first renames it to `path` + ".1"
// (replacing the older one) and starts a new file. False when the file cannot be opened (errno
// set); the other sink stays.
inline constexpr std::uint64_t kLogFileMaxBytes = 1 << 20;
bool LogToFile(const std::string& path, LogLevel minimum, std::uint64_t maxBytes = kLogFileMaxBytes);
// Closes the file and drops both sinks.
void StopLogging();

// `text` with the password of every "scheme://user:password@" replaced by "***".
std::string HideUrlPasswords(std::string_view text);
