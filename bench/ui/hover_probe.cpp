// A probe from outside the window's process: another X client moves the pointer between two
// points of a window, over widgets that paint themselves when hovered (toolbar buttons), and
// times each move until the window's next repaint reaches the X server (a DAMAGE notice). While
// the window's thread is busy the repaint waits, so each figure is how long the window was
// unresponsive to the pointer as a user sees it.
//
//   bench_ui_hover_probe WINDOW X1 Y1 X2 Y2 [PERIOD_MS]
//
// Moves every PERIOD_MS (default 10) until its standard input ends, then exits. Prints one line a
// move: the move's time on CLOCK_MONOTONIC and the latency, both in ms; a latency of -1 for a move
// that got no repaint within two seconds.
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Whether standard input has ended (without blocking).
bool InputEnded() {
    pollfd in{0, POLLIN, 0};
    if (poll(&in, 1, 0) <= 0)
        return false;
    char buffer[256];
    return read(0, buffer, sizeof buffer) <= 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s WINDOW X1 Y1 X2 Y2 [PERIOD_MS]\n", argv[0]);
        return 2;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    const int xs[2] = {std::atoi(argv[2]), std::atoi(argv[4])};
    const int ys[2] = {std::atoi(argv[3]), std::atoi(argv[5])};
    const double period = argc > 6 ? std::atof(argv[6]) : 10;
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "hover_probe: no X display\n");
        return 1;
    }
    int damageEvent = 0, damageError = 0;
    if (!XDamageQueryExtension(display, &damageEvent, &damageError)) {
        std::fprintf(stderr, "hover_probe: the X server has no DAMAGE extension\n");
        return 1;
    }
    const Damage damage = XDamageCreate(display, window, XDamageReportNonEmpty);
    XSync(display, False);
    const int fd = ConnectionNumber(display);
    for (int move = 0; !InputEnded(); ++move) {
        // Forget what was painted before the move.
        XDamageSubtract(display, damage, None, None);
        XSync(display, False);
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
        }
        const double start = NowMs();
        XWarpPointer(display, None, window, 0, 0, 0, 0, xs[move % 2], ys[move % 2]);
        XFlush(display);
        double latency = -1;
        while (latency < 0 && NowMs() - start < 2000) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == damageEvent + XDamageNotify && latency < 0)
                    latency = NowMs() - start;
            }
            if (latency < 0) {
                pollfd x{fd, POLLIN, 0};
                poll(&x, 1, 5);
            }
        }
        std::printf("%.3f %.3f\n", start, latency);
        std::fflush(stdout);
        const double next = start + period;
        while (NowMs() < next)
            usleep(1000);
    }
    // The damage object goes with the connection (the window may be gone already).
    XCloseDisplay(display);
    return 0;
}
