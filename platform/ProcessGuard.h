#pragma once
// What a process that holds passwords does about them at start.

// No core dump: the core size limit goes to 0 (for this process and what it starts) and the
// process is marked not dumpable, which also keeps a core handler and other users' debuggers
// out of its memory. Call first thing in main.
void KeepSecretsOutOfCoreDumps();

// Overwrites in place, in the process's own argument vector (what /proc/PID/cmdline and `ps`
// show), the value that follows each `option` ("--password P"), once the arguments were copied.
// The copies the program keeps are not touched.
void HideOptionValues(int argc, char** argv, const char* option);
