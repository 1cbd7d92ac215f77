// Keystroke latency of the search field in the real window (offscreen platform): a word typed
// letter by letter into the field over catalogues of generated names, every key a real key
// event, each one stopping the search in flight. For every key:
//
//   first rows   key → the list first painted with rows of that key's search
//   complete     key → that search's walk ended with every hit in the list (only when it ended
//                before the next key; otherwise "stopped")
//   late         how long after its time the key got to the field (the window was busy)
//
// and, for the whole word, the longest stall of the window thread while typing (a 5 ms lag
// probe). "complete" and the stall are also given without what the machine's other load adds:
// the window thread's CPU time, and the stall less the thread's waits for a processor.
//
// Two passes, each of `rounds` rounds: "typing", a key every `interval` ms, and "one by one",
// each key after the previous key's search completed (so every prefix has a complete time).
// Figures are min / median / max over the rounds. Reported, not asserted.
//
// Targets: at 1,000,000 entries first rows ≤ 50 ms, complete ≤ 200 ms; at 10,000,000 entries (ten
// sites of 1,000,000) no key waits and complete ≤ 1 s.
//
//   bench_ui_keystroke [entries [word [interval_ms [rounds]]]]   (1000000 linux 150 3)
#include "bench/ui/BenchSupport.h"
#include "ops/CatalogueObserver.h"
#include "ops/SearchQuery.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/SearchField.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <time.h>
#include <vector>

using benchui::CLagProbe;
using benchui::WaitFor;

namespace {

constexpr long kSiteEntries = 1000000;

// Names as on a mirror: two or three words of a small vocabulary, a number, an extension.
const char* const kWords[] = {
    "ubuntu",  "debian",  "linux",   "kernel",  "firefox", "python",  "gnome",   "server",  "desktop",
    "backup",  "photos",  "music",   "video",   "movie",   "drivers", "windows", "office",  "source",
    "release", "update",  "tools",   "games",   "docs",    "manual",  "setup",   "player",  "studio",
    "library", "archive", "project", "client",  "mirror",  "images",  "fonts",   "themes",  "network",
    "android", "mobile",  "build",   "nightly", "stable",  "testing", "contrib", "extras",  "sample",
    "demo",    "report",  "lecture", "course",  "slides",  "paper",   "thesis",  "dataset", "models",
    "weights", "config",  "scripts", "plugin",  "addon",   "patch",
};
const char* const kExtensions[] = {".tar.gz", ".iso", ".txt", ".zip", ".deb", ".pdf", ".mkv", ""};

std::string MakeName(std::mt19937& rng, int serial) {
    constexpr std::size_t words = sizeof kWords / sizeof kWords[0];
    std::string name = kWords[rng() % words];
    const int more = 1 + static_cast<int>(rng() % 2);
    for (int i = 0; i < more; ++i)
        name += std::string(rng() % 2 ? "-" : "_") + kWords[rng() % words];
    name += "-" + std::to_string(serial);
    return name + kExtensions[rng() % (sizeof kExtensions / sizeof kExtensions[0])];
}

// One site of `entries` nodes: 100 directories of 10 directories of files.
void BuildSite(CFTPSite* site, long entries, std::mt19937& rng) {
    const long filesPerDir = std::max(1L, (entries - 1100) / 1000);
    int serial = 0;
    for (int top = 0; top < 100; ++top) {
        CFTPDir* topDir = uitest::AddDir(site->m_pRootDir.get(), MakeName(rng, serial++));
        for (int sub = 0; sub < 10; ++sub) {
            CFTPDir* dir = uitest::AddDir(topDir, MakeName(rng, serial++));
            for (long f = 0; f < filesPerDir; ++f)
                uitest::AddFile(dir, MakeName(rng, serial++), rng() % 100000000);
        }
    }
}

// How many entries of every site the query matches, counted apart from the window.
long CountHits(CQuarnelDoc& doc, const std::string& text) {
    const CSearchQuery query = CSearchQuery::Parse(text);
    long hits = 0;
    for (CFTPSite* site : doc.m_siteList) {
        const NameCharset charset = site->GetNameCharset();
        std::vector<const CFTPDir*> pending{site->m_pRootDir.get()};
        while (!pending.empty()) {
            const CFTPDir* dir = pending.back();
            pending.pop_back();
            for (const CFTPDir* sub : dir->m_subDirs) {
                hits += query.Matches(sub, charset);
                pending.push_back(sub);
            }
            for (const CFTPFile* file : dir->m_files)
                hits += query.Matches(file, charset);
        }
    }
    return hits;
}

// What happened after each key of one round, in ms from the round's start (-1: never).
struct KeyTimes {
    double due = -1, delivered = -1, reset = -1, firstRows = -1, complete = -1;
    double cpuDelivered = -1, cpuComplete = -1; // the window thread's CPU time
};

// CPU time of the calling thread: what the window's work cost, whatever else the machine runs.
double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Follows the list and the document's walks, and stamps each key's events.
class CTracker : public QObject, public ICatalogueObserver {
public:
    CTracker(CQuarnelView* list, CSearchField* field) : m_list(list), m_field(field) {
        m_model = list->model();
        list->viewport()->installEventFilter(this);
        connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
            if (m_key >= 0 && Now().reset < 0)
                Now().reset = Ms();
        });
    }
    void Begin(const std::vector<std::string>& prefixes, const std::vector<long>& hits) {
        m_prefixes = prefixes;
        m_hits = hits;
        m_times.assign(prefixes.size(), KeyTimes());
        m_key = -1;
        m_clock.start();
    }
    // Marks key `k` as delivered now (its search is what follows).
    void Delivered(int k, double due) {
        m_key = k;
        m_times[static_cast<std::size_t>(k)].due = due;
        m_times[static_cast<std::size_t>(k)].delivered = Ms();
        m_times[static_cast<std::size_t>(k)].cpuDelivered = ThreadCpuMs();
    }
    bool Complete(int k) const { return m_times[static_cast<std::size_t>(k)].complete >= 0; }
    double Ms() const { return static_cast<double>(m_clock.nsecsElapsed()) / 1e6; }
    const std::vector<KeyTimes>& Times() const { return m_times; }

    void EntryGoing(const CObject*, EntryKind) override {}
    void WalkStateChanged(bool walking) override {
        if (walking || m_key < 0)
            return;
        KeyTimes& now = Now();
        const std::string& text = m_prefixes[static_cast<std::size_t>(m_key)];
        if (now.reset >= 0 && now.complete < 0 && m_field->text().toStdString() == text &&
            m_model->rowCount() == m_hits[static_cast<std::size_t>(m_key)]) {
            now.complete = Ms();
            now.cpuComplete = ThreadCpuMs();
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && m_key >= 0) {
            KeyTimes& now = Now();
            if (now.reset >= 0 && now.firstRows < 0 && m_list->m_bSearchMode && m_model->rowCount() > 0)
                now.firstRows = Ms();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    KeyTimes& Now() { return m_times[static_cast<std::size_t>(m_key)]; }

    CQuarnelView* m_list;
    CSearchField* m_field;
    QAbstractItemModel* m_model;
    QElapsedTimer m_clock;
    std::vector<std::string> m_prefixes;
    std::vector<long> m_hits;
    std::vector<KeyTimes> m_times;
    int m_key = -1;
};

struct Figures {
    std::vector<double> values;
    int missing = 0; // rounds without the figure
    void Add(double v) {
        if (v < 0)
            ++missing;
        else
            values.push_back(v);
    }
    std::string Text() const {
        if (values.empty())
            return missing ? "stopped" : "-";
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        char text[96];
        std::snprintf(text, sizeof text, "%6.1f %6.1f %6.1f", v.front(), v[v.size() / 2], v.back());
        std::string out = text;
        if (missing)
            out += " (" + std::to_string(missing) + " stopped)";
        return out;
    }
};

// Clears the field with Escape and waits until the window is back to browsing and idle.
void ClearField(CSearchField* field, CQuarnelDoc& doc) {
    QTest::keyClick(field, Qt::Key_Escape);
    WaitFor([&] { return !doc.IsWalkInProgress(); }, 60000);
    QTest::qWait(300);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const long entries = argc > 1 ? std::atol(argv[1]) : kSiteEntries;
    const std::string word = argc > 2 ? argv[2] : "linux";
    const int interval = argc > 3 ? std::max(1, std::atoi(argv[3])) : 150;
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;

    uitest::Window w;
    QElapsedTimer setup;
    setup.start();
    std::mt19937 rng(2107);
    int sites = 0;
    for (long left = entries; left > 0; left -= kSiteEntries, ++sites)
        BuildSite(uitest::AddSite(w.doc, "mirror" + std::to_string(sites) + ".example"),
                  std::min(left, kSiteEntries), rng);
    std::vector<std::string> prefixes;
    std::vector<long> hits;
    for (std::size_t i = 1; i <= word.size(); ++i) {
        prefixes.push_back(word.substr(0, i));
        hits.push_back(CountHits(w.doc, prefixes.back()));
    }
    std::printf("keystroke: %ld entries in %d sites, built in %lld ms; typing \"%s\"\n", entries, sites,
                static_cast<long long>(setup.elapsed()), word.c_str());

    CMainFrame& frame = w.Open();
    frame.resize(1200, 800);
    frame.show();
    if (!QTest::qWaitForWindowExposed(&frame))
        std::fprintf(stderr, "keystroke: the window was not exposed\n");
    auto* field = frame.findChild<CSearchField*>(QStringLiteral("searchField"));
    if (!field) {
        std::fprintf(stderr, "keystroke: the window has no search field\n");
        return 1;
    }
    field->setFocus();
    CTracker tracker(w.list(), field);
    w.doc.AddObserver(&tracker);
    CLagProbe probe;

    for (const bool typing : {true, false}) {
        std::vector<Figures> firstRows(word.size()), complete(word.size()), cpu(word.size()),
            late(word.size());
        Figures stall, stallOwn;
        for (int round = 0; round < rounds; ++round) {
            ClearField(field, w.doc);
            tracker.Begin(prefixes, hits);
            probe.Start();
            const int last = static_cast<int>(word.size()) - 1;
            for (int k = 0; k <= last; ++k) {
                if (typing) {
                    // From timers: a search in flight lets them fire as it lets events through.
                    const double due = static_cast<double>(k) * interval;
                    QTimer::singleShot(k * interval, Qt::PreciseTimer, field, [&, k, due] {
                        QTest::keyClick(field, word[static_cast<std::size_t>(k)]);
                        tracker.Delivered(k, due);
                    });
                } else {
                    const double due = tracker.Ms();
                    QTest::keyClick(field, word[static_cast<std::size_t>(k)]);
                    tracker.Delivered(k, due);
                    WaitFor([&] { return tracker.Complete(k); }, 600000);
                }
            }
            WaitFor([&] { return tracker.Complete(last); }, 600000);
            QTest::qWait(50);
            stall.Add(probe.Stop());
            stallOwn.Add(probe.WorstOwn());
            for (int k = 0; k <= last; ++k) {
                const KeyTimes& t = tracker.Times()[static_cast<std::size_t>(k)];
                firstRows[static_cast<std::size_t>(k)].Add(t.firstRows < 0 ? -1 : t.firstRows - t.delivered);
                complete[static_cast<std::size_t>(k)].Add(t.complete < 0 ? -1 : t.complete - t.delivered);
                cpu[static_cast<std::size_t>(k)].Add(t.complete < 0 ? -1 : t.cpuComplete - t.cpuDelivered);
                late[static_cast<std::size_t>(k)].Add(t.delivered - t.due);
            }
        }
        if (typing)
            std::printf("typing, a key every %d ms, %d rounds (ms: min median max):\n", interval, rounds);
        else
            std::printf("one by one, each key after the last search completed, %d rounds:\n", rounds);
        std::printf("  %-8s %8s  %-22s %-22s %-22s %s\n", "text", "hits", "first rows", "complete",
                    "complete, CPU", "key late");
        for (std::size_t k = 0; k < word.size(); ++k)
            std::printf("  %-8s %8ld  %-22s %-22s %-22s %s\n", prefixes[k].c_str(), hits[k],
                        firstRows[k].Text().c_str(), complete[k].Text().c_str(), cpu[k].Text().c_str(),
                        typing ? late[k].Text().c_str() : "");
        std::printf("  longest stall of the window thread: %s; less its waits for a processor: %s\n",
                    stall.Text().c_str(), stallOwn.Text().c_str());
        std::fflush(stdout);
    }
    ClearField(field, w.doc);
    w.doc.RemoveObserver(&tracker);
    return 0;
}
