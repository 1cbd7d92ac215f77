#include "cli/CliPassword.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Longer than any password a server takes; it keeps /dev/zero or a wrong file from being read
// without end.
constexpr std::size_t kMaxPasswordLine = 4096;

// What the handlers need to give the terminal its echo back before the process ends.
struct termios g_savedTerminal {};
volatile sig_atomic_t g_echoOff = 0;
constexpr std::array<int, 4> kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreEchoAndEnd(int signal) {
    if (g_echoOff)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    // SA_RESETHAND has put the default action back: the signal now ends the process as it would
    // have without the prompt.
    raise(signal);
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

bool ReadPasswordLine(int fd, std::string& password, std::string& error, bool* empty) {
    std::string line;
    char buffer[512];
    bool ended = false, any = false;
    while (!ended && line.size() <= kMaxPasswordLine) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break; // a last line without a line end counts
        any = true;
        line.append(buffer, static_cast<std::size_t>(n));
        const std::size_t end = line.find('\n');
        if (end != std::string::npos) {
            line.resize(end);
            ended = true;
        }
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > kMaxPasswordLine) {
        error = "its first line is longer than " + std::to_string(kMaxPasswordLine) + " bytes";
        return false;
    }
    if (empty)
        *empty = !any;
    password = std::move(line);
    return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool read = ReadPasswordLine(fd, password, error, nullptr); // an empty file: an empty password
    close(fd);
    return read;
}

bool PromptPassword(const std::string& prompt, std::string& password) {
    struct termios saved {};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0)
        return false;

    g_savedTerminal = saved;
    g_echoOff = 1; // before the change: restoring a terminal that was not changed yet is harmless
    struct sigaction action {};
    action.sa_handler = RestoreEchoAndEnd;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    std::array<struct sigaction, kEndingSignals.size()> previous{};
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i)
        sigaction(kEndingSignals[i], &action, &previous[i]);

    WriteAll(STDERR_FILENO, prompt);
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    // TCSAFLUSH: what was typed before the prompt appeared is not taken for the password.
    const bool changed = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;

    std::string line;
    bool ended = false, any = false;
    while (!ended && line.size() <= kMaxPasswordLine) {
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
        if (c == '\n')
            ended = true;
        else
            line += c;
    }

    if (changed)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    g_echoOff = 0;
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i)
        sigaction(kEndingSignals[i], &previous[i], nullptr);
    WriteAll(STDERR_FILENO, "\n"); // the Enter the user typed was not echoed either

    if (!any || line.size() > kMaxPasswordLine)
        return false;
    password = std::move(line);
    return true;
}
