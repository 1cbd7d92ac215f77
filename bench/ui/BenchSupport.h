#pragma once
// What the window benchmarks share: a lag probe in the window thread, and a wait that lets
// events through.

#include <QElapsedTimer>
#include <QObject>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace benchui {

constexpr int kProbeMs = 5;

// STALL_TRACE=1 in the environment prints each long stall and each slow selection as it happens.
inline bool Tracing() {
    static const bool tracing = std::getenv("STALL_TRACE") != nullptr;
    return tracing;
}

// Nanoseconds the calling thread has spent runnable but waiting for a processor (the second
// figure of /proc/thread-self/schedstat), or -1 where the kernel does not say.
inline qint64 RunQueueWaitNs() {
    FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
    if (!file)
        return -1;
    unsigned long long running = 0, waiting = 0;
    const int read = std::fscanf(file, "%llu %llu", &running, &waiting);
    std::fclose(file);
    return read == 2 ? static_cast<qint64>(waiting) : -1;
}

// How late the window thread's timer fires: the longest gap between two ticks, less the period.
// On a machine shared with other busy programs part of a gap is time the thread was ready to run
// but had no processor; the second figure leaves that out, which is the program's own stall
// (working, or waiting for a lock).
class CLagProbe {
public:
    CLagProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kProbeMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    }
    void Start() {
        m_worst = 0;
        m_worstOwn = 0;
        m_ticks = 0;
        m_clock.start();
        m_last = 0;
        m_lastWait = RunQueueWaitNs();
        m_timer.start();
    }
    // The worst lateness in ms since Start.
    double Stop() {
        Tick();
        m_timer.stop();
        return static_cast<double>(m_worst) / 1e6;
    }
    // The worst lateness less the time the thread waited for a processor meanwhile.
    double WorstOwn() const { return static_cast<double>(m_worstOwn) / 1e6; }
    long Ticks() const { return m_ticks; }

private:
    void Tick() {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 late = now - m_last - qint64(kProbeMs) * 1000000;
        const qint64 wait = RunQueueWaitNs();
        const qint64 own = wait >= 0 && m_lastWait >= 0 ? late - (wait - m_lastWait) : late;
        if (Tracing() && late > 30000000)
            std::fprintf(stderr, "  late %.1f ms (%.1f ms of it its own) at %.1f ms\n",
                         static_cast<double>(late) / 1e6, static_cast<double>(own) / 1e6,
                         static_cast<double>(now) / 1e6);
        m_worst = std::max(m_worst, late);
        m_worstOwn = std::max(m_worstOwn, own);
        m_last = now;
        m_lastWait = wait;
        ++m_ticks;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_worst = 0;
    qint64 m_worstOwn = 0;
    qint64 m_lastWait = -1;
    long m_ticks = 0;
};

// Lets events through until `done` holds or `timeoutMs` passes; false on time-out.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(2);
    }
    return true;
}

} // namespace benchui
