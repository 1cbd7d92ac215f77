#include "cli/CmdUpdate.h"

#include "cli/CliText.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/SafeText.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"
#include "update/UpdateEvents.h"
#include "update/UpdateScheduler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

// The engine's notices, queued by its threads and handled by the command's own (main) thread.
class CCliUpdateEvents : public IUpdateEvents {
public:
    struct Notice {
        CFTPSite* site = nullptr;
        std::unique_ptr<CObject> entry; // a removal notice when set
        EntryKind kind = kEntryFile;
        bool* handled = nullptr; // a synchronous status notice: set when handled
    };

    void PostSiteStatus(CFTPSite* site) override { Push(Notice{site}); }

    void PostEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind) override {
        Push(Notice{site, std::move(entry), kind});
    }

    void SendSiteStatus(CFTPSite* site) override {
        bool handled = false;
        std::unique_lock<std::mutex> lock(m_lock);
        m_notices.push_back(Notice{site, nullptr, kEntryFile, &handled});
        m_wake.notify_all();
        m_wake.wait(lock, [&] { return handled; });
    }

    // Hands every waiting notice to `handle`, waiting up to `timeout` for the first one.
    template <class Handler> void Drain(std::chrono::milliseconds timeout, Handler&& handle) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait_for(lock, timeout, [&] { return !m_notices.empty(); });
        while (!m_notices.empty()) {
            Notice notice = std::move(m_notices.front());
            m_notices.pop_front();
            lock.unlock();
            handle(notice);
            lock.lock();
            if (notice.handled) {
                *notice.handled = true;
                m_wake.notify_all();
            }
        }
    }

private:
    void Push(Notice notice) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_notices.push_back(std::move(notice));
        m_wake.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Notice> m_notices;
};

// The first stopping signal taken (0: none yet).
std::atomic<int> g_nInterruptSignal{0};
// A progress line is on the terminal: an abrupt end takes it away.
std::atomic<bool> g_bProgressShown{false};

extern "C" void OnInterrupt(int signal) {
    int none = 0;
    if (g_nInterruptSignal.compare_exchange_strong(none, signal))
        return;
    // Asked twice: end now. Every data file is replaced by a rename, so none is left half
    // written; a save cut short leaves only its temporary directory, which the next load removes.
    if (g_bProgressShown.load()) {
        [[maybe_unused]] const ssize_t cleared = write(STDERR_FILENO, "\r\x1b[K", 4);
    }
    _exit(signal == SIGINT ? kCliInterrupted : 128 + signal);
}

// Ctrl-C, a kill (SIGTERM) and a closed terminal (SIGHUP) all stop the engine the way the stop
// command does, so that what was merged is saved; a second one ends the process at once. Caught
// for the life of the command, then the previous handlers are put back.
class CInterruptGuard {
public:
    CInterruptGuard() {
        g_nInterruptSignal.store(0);
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i)
            sigaction(kSignals[i], &action, &m_previous[i]);
    }
    ~CInterruptGuard() {
        for (std::size_t i = 0; i < kSignals.size(); ++i)
            sigaction(kSignals[i], &m_previous[i], nullptr);
    }

private:
    static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 3> m_previous{};
};

// True when nobody can read standard output any more: the reader of a pipe went away
// (`update | head -1`), a socket was shut. Seen without writing anything.
bool OutputGone() {
    pollfd out{STDOUT_FILENO, 0, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

// The one progress line on standard error, a terminal: redrawn in place at most ten times a
// second, taken away before a record is written (standard output may be the same terminal) and
// at the end.
class CProgressLine {
public:
    CProgressLine(std::ostream& err, bool enabled) : m_err(err), m_enabled(enabled) {
        struct winsize size {};
        if (enabled && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
            m_width = size.ws_col - 1u; // a full line would wrap, and \r returns to its second half
    }
    ~CProgressLine() { Clear(); }
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    void Draw(std::string text) {
        if (!m_enabled)
            return;
        const auto now = std::chrono::steady_clock::now();
        if ((m_visible && text == m_text) || now - m_lastDrawn < std::chrono::milliseconds(100))
            return;
        if (text.size() > m_width)
            text.resize(m_width); // ASCII only
        m_err << '\r' << text << "\x1b[K" << std::flush;
        m_text = std::move(text);
        m_visible = true;
        g_bProgressShown.store(true);
        m_lastDrawn = now;
    }
    void Clear() {
        if (!m_visible)
            return;
        m_err << "\r\x1b[K" << std::flush;
        m_visible = false;
        g_bProgressShown.store(false);
    }

private:
    std::ostream& m_err;
    const bool m_enabled;
    std::size_t m_width = 79;
    bool m_visible = false;
    std::string m_text;
    std::chrono::steady_clock::time_point m_lastDrawn{};
};

// A site's status text on one line, safe for a terminal: the engine's texts may quote a server's
// reply, which may echo the site's password in any letter case or percent-encoded. The engine
// hides it already; this is the last look before the text leaves the program (cron appends it
// to files).
std::string OneLine(const CFTPSite& site, const std::string& narrow) {
    std::string text = NarrowToUtf8(MaskSecret(narrow, site.m_strPassword));
    text = MaskSecret(text, ShownField(site.m_strPassword));
    return CliField(text);
}

struct Options {
    bool all = false;
    int threads = 0; // 0: leave the limit as it is
    std::vector<std::string> keys;
};

Options ParseOptions(const CliArgs& args) {
    Options options;
    options.all = args.Has("all");
    if (const std::string* value = args.Last("threads")) {
        std::size_t used = 0;
        int n = 0;
        try {
            n = std::stoi(*value, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != value->size() || value->empty() || n < kMinUpdateThreads || n > kMaxUpdateThreads)
            throw CliUsageError("--threads takes an integer from 1 to 500");
        options.threads = n;
    }
    options.keys = args.operands;
    if (options.all == !options.keys.empty())
        throw CliUsageError("give either --all or one or more site keys");
    return options;
}

} // namespace

int RunUpdateCommand(CliContext& ctx, const CliArgs& args) {
    Options options = ParseOptions(args);

    std::vector<CFTPSite*> sites;
    if (options.all) {
        for (CFTPSite* site : ctx.doc.m_siteList)
            sites.push_back(site);
    } else {
        for (const std::string& key : options.keys) {
            CFTPSite* site = ctx.doc.FindSiteByKey(key);
            if (!site)
                site = ctx.doc.FindSiteByKey(Utf8ToNarrow(key));
            if (!site) {
                ctx.err << "update: no site has the key " << CliField(key) << "\n";
                return 1;
            }
            if (std::find(sites.begin(), sites.end(), site) == sites.end())
                sites.push_back(site);
        }
    }
    if (sites.empty())
        return 0;
    if (!ctx.prepareToWrite())
        return kCliError;

    if (options.threads)
        SetMaxUpdateThreads(options.threads);

    CCliUpdateEvents events;
    SetUpdateEvents(&events);
    CInterruptGuard interruptGuard;
    CProgressLine progressLine(ctx.err, ctx.showProgress);
    const CrawlCounts countsBefore = GetCrawlCounts();
    auto drawProgress = [&] {
        std::size_t done = 0;
        for (const CFTPSite* site : sites)
            done += site->m_nUpdateStatus.load() != UpdateStatus::Waiting;
        const CrawlCounts counts = GetCrawlCounts();
        progressLine.Draw(
            "update: " + std::to_string(done) + "/" + std::to_string(sites.size()) + " sites done (" +
            std::to_string(GetUpdateWorkCounts().running) + " running), " +
            std::to_string(counts.dirsListed - countsBefore.dirsListed) + " directories listed, " +
            std::to_string(counts.entriesListed - countsBefore.entriesListed) + " entries found");
    };

    std::map<CFTPSite*, std::pair<int32_t, std::string>> shown;
    auto handle = [&](CCliUpdateEvents::Notice& notice) {
        if (notice.entry) {
            // Every holder hears it is going; then the document frees it.
            ctx.doc.ReleaseEntry(std::move(notice.entry), notice.kind);
            return;
        }
        std::pair<int32_t, std::string> status{static_cast<int32_t>(notice.site->m_nUpdateStatus.load()),
                                               notice.site->GetStatusText()};
        auto& last = shown[notice.site];
        if (last == status)
            return;
        last = status;
        progressLine.Clear();
        ctx.out << CliField(ShownField(notice.site->GetKey())) << '\t' << status.first << '\t'
                << OneLine(*notice.site, status.second) << std::endl;
    };
    // Nobody reads the output any more (`update | head -1`; SIGPIPE is ignored, so the write
    // fails with EPIPE): stop as on Ctrl-C and save, rather than crawl on for no one.
    auto outputLost = [&] { return !ctx.out || OutputGone(); };

    int total = 0;
    if (options.all) {
        UpdateAllSites(ctx.doc.m_siteList, total);
    } else {
        for (CFTPSite* site : sites)
            UpdateSelectedDir(site->m_pRootDir.get(), ctx.doc.m_siteList, total);
    }

    using Clock = std::chrono::steady_clock;
    auto nextTick = Clock::now() + std::chrono::seconds(1);
    bool stopping = false;
    for (;;) {
        events.Drain(std::chrono::milliseconds(100), handle);
        if ((g_nInterruptSignal.load() != 0 || outputLost()) && !IsStopRequested()) {
            progressLine.Clear();
            if (outputLost())
                ctx.err << "update: the output cannot be written; ";
            else
                ctx.err << "update: ";
            ctx.err << "stopping; waiting for the running updates to end\n";
            StopUpdates();
            stopping = true;
        }
        bool finished = !stopping && !IsUpdateWorkPending();
        if (finished || Clock::now() >= nextTick) {
            nextTick += std::chrono::seconds(1);
            // The window's status-bar text; here only its test of the end counts.
            std::string statusBarText;
            if (!UpdateProgressTick(total, statusBarText) && !stopping) {
                // Everything has ended: retire the dispatcher too.
                StopUpdates();
                stopping = true;
            }
        }
        if (stopping && IsUpdateEngineIdle())
            break;
        drawProgress();
    }
    events.Drain(std::chrono::milliseconds(0), handle);
    SetUpdateEvents(nullptr);
    progressLine.Clear();
    if (g_nInterruptSignal.load() == SIGINT)
        return kCliInterrupted; // what was merged is saved; the shell sees the Ctrl-C

    // The worker skips a site another program is updating (it holds the site's update lock).
    bool allSucceeded = true;
    bool anyBusy = false;
    for (CFTPSite* site : sites) {
        if (site->GetStatusText() == kStatusBusyElsewhere) {
            anyBusy = true;
            continue;
        }
        // A site whose files could not be written failed too, whatever its walk did.
        allSucceeded = allSucceeded && site->m_nUpdateStatus.load() == UpdateStatus::Succeeded &&
                       site->m_nSaveError.load() == 0;
    }
    if (!allSucceeded)
        return kCliError;
    return anyBusy ? kCliSiteBusy : kCliOk;
}

static const CommandRegistrar updateCommand{
    {"update",
     "update [--threads N] (--all | KEY...)",
     "update sites from their FTP servers, printing each site's status as it changes (key, code, "
     "text). On a terminal a progress line on standard error counts sites done, directories listed and "
     "entries found. Ctrl-C, SIGTERM, SIGHUP or a closed output stop it and keep what was merged (exit "
     "status 130 after Ctrl-C, else 1); a second Ctrl-C ends it at once. A site another program is "
     "updating is skipped, exit status 4",
     RunUpdateCommand,
     false,
     false,
     {{"all", 0, {}, "every site"},
      {"threads", 0, "N", "how many update threads may run at once, 1 to 500"}}}};
