#pragma once
// Running a program from a test: the child's side of fork() and the parent's wait.

#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

// In a forked child: runs args[0] (a path, or a name looked up on PATH) with `args` as its argument
// vector. Never returns; 127 when the program cannot be run.
[[noreturn]] inline void ExecArgs(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// The exit status of child `pid`, or -1 when it did not end by itself.
inline int WaitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
