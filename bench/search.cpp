// Search and mark-read over a catalogue of 1,000,000 nodes, compared with grep over the same
// full paths. Reported, not asserted.
//
//   bench_search [nodes]     (default 1000000)
#include "model/Records.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

constexpr const char* kKeyword = "zebrafish";
constexpr int kPlanted = 1000;

// Names of 8 to 40 bytes; one in ten holds GBK characters (whose trail bytes may be letters).
std::string RandomName(std::mt19937& rng) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.";
    const int length = std::uniform_int_distribution<int>(8, 40)(rng);
    const bool gbk = rng() % 10 == 0;
    std::string name;
    while (static_cast<int>(name.size()) < length) {
        if (gbk && rng() % 3 == 0 && static_cast<int>(name.size()) + 2 <= length) {
            name += static_cast<char>(0xB0 + rng() % 0x48);
            name += static_cast<char>(0x40 + rng() % 0xBF); // includes trail bytes 0x40..0x7E
            if (static_cast<unsigned char>(name.back()) == 0x7F)
                name.back() = 0x41;
        } else {
            name += kChars[rng() % (sizeof kChars - 1)];
        }
    }
    return name;
}

// A name holding the keyword in mixed case.
std::string Planted(std::mt19937& rng) {
    std::string key = kKeyword;
    for (char& c : key)
        if (rng() % 2)
            c = static_cast<char>(c - 32);
    return RandomName(rng).substr(0, 10) + key + ".dat";
}

struct Catalogue {
    std::size_t dirs = 0;
    std::size_t files = 0;
};

Catalogue Build(CFTPSite& site, std::size_t nodes, std::mt19937& rng) {
    Catalogue counts;
    const std::size_t wantDirs = nodes / 20; // about 50,000 directories for 1,000,000 nodes
    const std::size_t top = std::max<std::size_t>(1, wantDirs / 1000);
    const std::size_t filesPerDir = nodes / std::max<std::size_t>(1, wantDirs) - 1;
    std::vector<std::size_t> plantAt;
    for (int i = 0; i < kPlanted; ++i)
        plantAt.push_back(rng() % (wantDirs * filesPerDir));
    std::sort(plantAt.begin(), plantAt.end());
    std::size_t fileIndex = 0, nextPlant = 0;
    for (std::size_t t = 0; t < top; ++t) {
        auto topDir = std::make_unique<CFTPDir>();
        topDir->m_strName = RandomName(rng);
        topDir->m_pParent = site.m_pRootDir.get();
        topDir->m_bNew = 1;
        CFTPDir* parent = site.m_pRootDir->m_subDirs.AddTail(std::move(topDir));
        ++counts.dirs;
        for (std::size_t d = 0; d < wantDirs / top; ++d) {
            auto dir = std::make_unique<CFTPDir>();
            dir->m_strName = RandomName(rng);
            dir->m_pParent = parent;
            dir->m_bNew = 1;
            CFTPDir* sub = parent->m_subDirs.AddTail(std::move(dir));
            ++counts.dirs;
            for (std::size_t f = 0; f < filesPerDir; ++f, ++fileIndex) {
                auto file = std::make_unique<CFTPFile>();
                bool plant = false;
                while (nextPlant < plantAt.size() && plantAt[nextPlant] == fileIndex) {
                    plant = true;
                    ++nextPlant;
                }
                file->m_strName = plant ? Planted(rng) : RandomName(rng);
                file->m_nSize = rng() % 100000000;
                file->m_bNew = 1;
                file->m_pParent = sub;
                sub->m_files.AddTail(std::move(file));
                ++counts.files;
            }
        }
    }
    return counts;
}

void WritePaths(const CFTPDir& dir, const std::string& prefix, std::ofstream& out) {
    for (const CFTPDir* sub : dir.m_subDirs) {
        const std::string path = prefix + "/" + sub->m_strName;
        out << path << '\n';
        WritePaths(*sub, path, out);
    }
    for (const CFTPFile* file : dir.m_files)
        out << prefix << '/' << file->m_strName << '\n';
}

// Wall time of `LC_ALL=C.UTF-8 grep -c -F -i KEYWORD FILE`, and its count.
double TimeGrep(const std::string& path, long& count) {
    const std::string outPath = path + ".count";
    std::fflush(stdout); // or the child would write our buffered lines again
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(outPath.c_str(), "w", stdout);
        setenv("LC_ALL", "C.UTF-8", 1);
        execlp("grep", "grep", "-c", "-F", "-i", kKeyword, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = Ms(Clock::now() - start);
    std::ifstream in(outPath);
    count = -1;
    in >> count;
    std::remove(outPath.c_str());
    return ms;
}

class TimingSink : public ISearchSink {
public:
    void SearchStarted(const SearchStart&) override {
        m_start = Clock::now();
        firstHitMs = -1;
        hits = 0;
    }
    void FoundDir(CFTPDir*) override { Hit(); }
    void FoundFile(CFTPFile*) override { Hit(); }
    double firstHitMs = -1;
    std::size_t hits = 0;

private:
    void Hit() {
        if (hits++ == 0)
            firstHitMs = Ms(Clock::now() - m_start);
    }
    Clock::time_point m_start;
};

} // namespace

int main(int argc, char** argv) {
    const std::size_t nodes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::mt19937 rng(20061);
    CQuarnelDoc doc;
    auto owned = std::make_unique<CFTPSite>();
    owned->m_strHost = "mirror.example";
    owned->m_nLoadState = TreeLoadState::Loaded;
    CFTPSite* site = doc.m_siteList.AddTail(std::move(owned));

    auto t0 = Clock::now();
    const Catalogue counts = Build(*site, nodes, rng);
    std::printf("catalogue: %zu directories, %zu files (%zu nodes), built in %.0f ms\n", counts.dirs,
                counts.files, counts.dirs + counts.files, Ms(Clock::now() - t0));

    char pathTemplate[] = "/tmp/quarnel-bench-paths-XXXXXX";
    const int fd = mkstemp(pathTemplate);
    close(fd);
    {
        std::ofstream out(pathTemplate, std::ios::binary);
        WritePaths(*site->m_pRootDir, "", out);
    }

    // The window's pump: lets events through at most every 10 ms. Here it only records the
    // longest stretch between two looks at the clock, which is how long the window could not
    // have handled an event.
    Clock::time_point lastPump = Clock::now();
    double longestGapMs = 0;
    std::size_t pumps = 0;
    doc.SetPumpPending([&] {
        const auto now = Clock::now();
        longestGapMs = std::max(longestGapMs, Ms(now - lastPump));
        lastPump = now;
        ++pumps;
        return true;
    });
    TimingSink sink;
    doc.SetSearchSink(&sink);

    double bestSearch = 1e9, bestGrep = 1e9, firstHit = 0, worstGap = 0;
    std::size_t found = 0;
    long grepCount = 0;
    for (int round = 0; round < 5; ++round) {
        lastPump = Clock::now();
        longestGapMs = 0;
        pumps = 0;
        t0 = Clock::now();
        doc.SearchAllSites(kKeyword);
        const double ms = Ms(Clock::now() - t0);
        if (ms < bestSearch) {
            bestSearch = ms;
            firstHit = sink.firstHitMs;
        }
        worstGap = std::max(worstGap, longestGapMs);
        found = doc.m_foundDirs.size() + doc.m_foundFiles.size();
        bestGrep = std::min(bestGrep, TimeGrep(pathTemplate, grepCount));
    }
    // grep counts byte matches; the search skips the few planted names whose keyword follows a
    // GBK lead byte (it would start on a character's second byte), and planted names that fell
    // on the same file.
    std::printf("search \"%s\": %zu found, best of 5 %.1f ms, first hit after %.2f ms, "
                "longest stretch without the pump %.2f ms (%zu pump calls)\n",
                kKeyword, found, bestSearch, firstHit, worstGap, pumps);
    std::printf("grep -c -F -i over the same %zu paths: %ld lines, best of 5 %.1f ms\n",
                counts.dirs + counts.files, grepCount, bestGrep);
    std::printf("search / grep: %.2fx (target: within 3x)\n", bestSearch / bestGrep);

    t0 = Clock::now();
    doc.SearchAllSites("\xCE\xC4\xBC\xFE"); // a GBK keyword: the character-boundary scan
    std::printf("search GBK keyword: %zu found, %.1f ms\n", doc.m_foundDirs.size() + doc.m_foundFiles.size(),
                Ms(Clock::now() - t0));

    lastPump = Clock::now();
    longestGapMs = 0;
    t0 = Clock::now();
    doc.MarkSitesRead(SiteScope::All);
    std::printf("mark all sites read (%zu marks): %.1f ms, longest stretch without the pump %.2f ms\n",
                counts.dirs + counts.files, Ms(Clock::now() - t0), longestGapMs);

    std::remove(pathTemplate);
    return 0;
}
