#pragma once
// What a process that holds passwords does about them at start.

// No core dump: the core size limit goes to 0 (for this process and what it starts) and the
// process is marked not dumpable, which also keeps a core handler and other users' debuggers
// out of its memory. Call first thing in main.
void KeepSecretsOutOfCoreDumps();
