#pragma once
// A full disk on demand: while the object lives, writes past `limit` bytes fail with EFBIG (in
// every thread of the process) instead of raising SIGXFSZ.

#include <csignal>
#include <sys/resource.h>

namespace testsupport {

class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t limit) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &m_previousAction);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit small = m_saved;
        small.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~CFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        sigaction(SIGXFSZ, &m_previousAction, nullptr);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

private:
    rlimit m_saved{};
    struct sigaction m_previousAction {};
};

} // namespace testsupport
