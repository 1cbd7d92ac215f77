#pragma once
// Running quarnel-cli, or another program, from the command-line tests: standard input from a
// file (so never a terminal), standard output and error kept in files and read back.

#include "tests/support/ChildProcess.h"
#include "tests/support/FtpServer.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace clitest {

inline const std::string kCliPath = QUARNEL_BINARY_DIR "/bin/quarnel-cli";

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string input;                    // standard input
    std::string inputFile;                // or standard input from this file
    rlim_t fileSizeLimit = RLIM_INFINITY; // writes past it fail as on a full disk
    bool unprivileged = false;            // drops root (when the test runs as root): permissions count
};

// Runs args[0] (a path, or a name looked up on PATH) with `args`; the files of its standard
// streams are kept in the directory `io`.
inline CliRun RunProgram(const std::string& io, std::vector<std::string> args,
                         const RunOptions& options = {}) {
    const std::string inPath = io + "/in", outPath = io + "/out", errPath = io + "/err";
    std::ofstream(inPath, std::ios::binary | std::ios::trunc) << options.input;
    const std::string input = options.inputFile.empty() ? inPath : options.inputFile;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(input.c_str(), O_RDONLY), 0);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (options.fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        testsupport::ExecArgs(std::move(args));
    }
    CliRun run;
    run.status = testsupport::WaitExit(pid);
    run.out = ftptest::detail::ReadFile(outPath);
    run.err = ftptest::detail::ReadFile(errPath);
    return run;
}

// quarnel-cli --dir DIR ARGS...
inline CliRun RunCli(const std::string& io, const std::string& dir, std::vector<std::string> args,
                     const RunOptions& options = {}) {
    args.insert(args.begin(), {kCliPath, "--dir", dir});
    return RunProgram(io, std::move(args), options);
}

} // namespace clitest
