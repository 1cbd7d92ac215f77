#include "platform/ProcessGuard.h"

#include <sys/prctl.h>
#include <sys/resource.h>

void KeepSecretsOutOfCoreDumps() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    // A core_pattern that pipes to a handler ignores the size limit; a process that is not
    // dumpable is not handed to it (unless the system dumps such processes for root alone).
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}
