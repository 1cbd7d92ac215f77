#include "model/ProgramDir.h"

#include "model/Paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<std::string> NonEmpty(const std::optional<std::string>& value) {
    if (value && !value->empty())
        return value;
    return std::nullopt;
}

std::optional<std::string> Environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

} // namespace

bool PathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

ProgramDirChoice ChooseProgramDir(const ProgramDirInputs& inputs, const PathProbe& exists) {
    ProgramDirChoice choice;
    if (inputs.dirOption) {
        if (inputs.dirOption->empty()) {
            choice.error = "--dir needs a directory";
            return choice;
        }
        choice.path = *inputs.dirOption;
        choice.source = ProgramDirSource::Option;
    } else if (const auto fromEnvironment = NonEmpty(inputs.quarnelDir)) {
        choice.path = *fromEnvironment;
        choice.source = ProgramDirSource::Environment;
    } else if (!inputs.exeDir.empty() && exists(inputs.exeDir + "/site.ds")) {
        choice.path = inputs.exeDir;
        choice.source = ProgramDirSource::Portable;
    } else {
        // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
        const auto dataHome = NonEmpty(inputs.xdgDataHome);
        const auto home = NonEmpty(inputs.home);
        if (dataHome && dataHome->front() == '/') {
            choice.path = *dataHome + "/quarnel";
        } else if (home) {
            choice.path = *home + "/.local/share/quarnel";
        } else {
            choice.error = "no home directory to keep the catalogue in: set QUARNEL_DIR or use --dir";
            return choice;
        }
        choice.source = ProgramDirSource::Default;
    }
    choice.exists = exists(choice.path);
    return choice;
}

ProgramDirInputs ProgramDirInputsOfProcess(std::optional<std::string> dirOption) {
    ProgramDirInputs inputs;
    inputs.dirOption = std::move(dirOption);
    inputs.quarnelDir = Environment("QUARNEL_DIR");
    inputs.xdgDataHome = Environment("XDG_DATA_HOME");
    inputs.home = NonEmpty(Environment("HOME"));
    if (!inputs.home) {
        // Started with a cleared environment (some cron and service set-ups).
        if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
            inputs.home = std::string(entry->pw_dir);
    }
    inputs.exeDir = ExecutableDir();
    return inputs;
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    return AppDirFromExecutable(std::string(path, static_cast<std::size_t>(n)));
}

CResult<void> EnsureProgramDir(const std::string& path) {
    std::error_code error;
    std::filesystem::path target = std::filesystem::path(path).lexically_normal();
    if (!target.has_filename() && target.has_parent_path())
        target = target.parent_path(); // "dir/"
    // The parents as `mkdir -p` makes them; the directory itself private.
    if (target.has_parent_path() && target.parent_path() != target) {
        std::filesystem::create_directories(target.parent_path(), error);
        if (error)
            return FileError::FromErrno(target.parent_path().string(), error.value());
    }
    if (mkdir(target.c_str(), 0700) == 0) {
        chmod(target.c_str(), 0700); // whatever the umask
    } else if (errno != EEXIST) {
        return FileError::FromErrno(path, errno);
    }
    struct stat st {};
    if (stat(target.c_str(), &st) != 0)
        return FileError::FromErrno(path, errno);
    if (!S_ISDIR(st.st_mode))
        return FileError::FromErrno(path, ENOTDIR);
    return {};
}

std::vector<std::string> HelpFileCandidates(const std::string& exeDir) {
    const std::filesystem::path dir(exeDir);
    return {(dir / "help.pdf").string(),
            (dir.parent_path() / "share" / "doc" / "quarnel" / "help.pdf").lexically_normal().string()};
}
