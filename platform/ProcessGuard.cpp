#include "platform/ProcessGuard.h"

#include <cstring>
#include <sys/prctl.h>
#include <sys/resource.h>

void KeepSecretsOutOfCoreDumps() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    // A core_pattern that pipes to a handler ignores the size limit; a process that is not
    // dumpable is not handed to it (unless the system dumps such processes for root alone).
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void HideOptionValues(int argc, char** argv, const char* option) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return;
        if (std::strcmp(argv[i], option) == 0) {
            ++i;
            std::memset(argv[i], 'x', std::strlen(argv[i]));
        }
    }
}
