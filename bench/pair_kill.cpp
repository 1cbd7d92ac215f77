// Kills a process that saves one site again and again, at random moments, and checks after each
// kill that content.ct and state.st on disk are one whole save: the long version of the kill test
// of the model suite. Each save's tree tells itself apart (its node count decides its sizes and
// its marks), so a content.ct beside a state.st of another save shows.
//
//   bench_pair_kill [KILLS] [NODES]      (defaults: 200 kills, 50000 nodes)
//
// KILLS rounds with the directory exchange, then KILLS/2 as on a file system without it (the old
// directory renamed aside first). Exit status 1 when any pair was torn or a leftover survived the
// next load.
#include "model/AtomicFile.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteCatalogue.h"
#include "model/TreeWalk.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int32_t Flag(std::size_t index, std::size_t nodes) {
    return static_cast<int32_t>(((index * 0x9E3779B1u) ^ (nodes * 0x85EBCA6Bu)) >> 7 & 1);
}

void SetTree(CFTPSite& site, std::size_t nodes) {
    CFTPDir* root = site.m_pRootDir.get();
    root->m_subDirs.RemoveAll();
    root->m_files.RemoveAll();
    std::size_t left = nodes;
    for (std::size_t d = 0; left > 0; ++d) {
        auto dir = std::make_unique<CFTPDir>();
        dir->m_strName = "d" + std::to_string(d);
        dir->m_pParent = root;
        CFTPDir* added = root->m_subDirs.AddTail(std::move(dir));
        --left;
        for (std::size_t f = 0; f < 100 && left > 0; ++f, --left) {
            auto file = std::make_unique<CFTPFile>();
            file->m_strName = "f" + std::to_string(f);
            file->m_nSize = nodes * 1000000 + d * 100 + f;
            file->m_pParent = added;
            added->m_files.AddTail(std::move(file));
        }
    }
    std::size_t index = 0;
    WalkStoredOrder(
        *root, [&](CFTPDir& dir, std::size_t) { dir.m_bNew = Flag(index++, nodes); },
        [&](CFTPFile& file, std::size_t) { file.m_bNew = Flag(index++, nodes); });
}

// True when the loaded tree, its marks and the size of state.st are one save.
bool IsWhole(const CFTPSite& site, long long stateBytes) {
    std::size_t nodes = 0;
    WalkStoredOrder(
        *site.m_pRootDir, [&](const CFTPDir&, std::size_t) { ++nodes; },
        [&](const CFTPFile&, std::size_t) { ++nodes; });
    std::size_t index = 0;
    bool whole = stateBytes == static_cast<long long>(4 * nodes);
    WalkStoredOrder(
        *site.m_pRootDir,
        [&](const CFTPDir& dir, std::size_t) { whole = whole && dir.m_bNew == Flag(index++, nodes); },
        [&](const CFTPFile& file, std::size_t) {
            whole = whole && file.m_bNew == Flag(index++, nodes) && file.m_nSize / 1000000 == nodes;
        });
    return whole;
}

std::unique_ptr<CFTPSite> MakeSite() {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = "kill.example";
    site->m_strUser = "u";
    site->m_strPassword = "p";
    return site;
}

// What a killed save may leave: directories in the save area, temporary files in the site's.
int CountLeftovers(const std::string& siteDir) {
    int count = 0;
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(DataDirPath() + "/" + kSaveAreaName, ignored)) {
        (void)entry;
        ++count;
    }
    for (const auto& entry : std::filesystem::directory_iterator(siteDir, ignored))
        count += IsTemporaryName(entry.path().filename().string(), "") ? 1 : 0;
    return count;
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

struct Tally {
    int kills = 0;
    int torn = 0;
    long long saves = 0; // saves the children completed
    int leftovers = 0;   // found after a kill, before the next load
    int leftoversAfter = 0;
};

Tally Run(int kills, std::size_t nodes, bool refuseExchange, std::mt19937& rng) {
    SetDirectoryExchangeRefused(refuseExchange);
    auto site = MakeSite();
    SetTree(*site, nodes);
    const std::string siteDir = SiteDataDirPath(site->GetKey());
    Tally tally;
    for (int round = 0; round < kills; ++round) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            std::perror("pipe");
            std::exit(2);
        }
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            std::exit(2);
        }
        if (child == 0) {
            close(pipeFds[0]);
            for (std::size_t k = 1;; ++k) {
                if (site->SaveCatalogue() && write(pipeFds[1], "s", 1) < 0)
                    _exit(3);
                SetTree(*site, nodes + (static_cast<std::size_t>(round) * 7 + k) % 500);
            }
        }
        close(pipeFds[1]);
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 150000)(rng)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        char buffer[256];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            tally.saves += n;
        close(pipeFds[0]);
        ++tally.kills;

        tally.leftovers += CountLeftovers(siteDir);
        auto copy = MakeSite();
        copy->EnsureLoaded();
        const bool nothingYet = tally.saves == 0 && !std::filesystem::exists(siteDir);
        if (!nothingYet && !IsWhole(*copy, FileSize(siteDir + "/state.st")))
            ++tally.torn;
        tally.leftoversAfter += CountLeftovers(siteDir);
    }
    SetDirectoryExchangeRefused(false);
    return tally;
}

} // namespace

int main(int argc, char** argv) {
    const int kills = argc > 1 ? std::atoi(argv[1]) : 200;
    const std::size_t nodes = argc > 2 ? static_cast<std::size_t>(std::atoll(argv[2])) : 50000;
    char pattern[] = "/tmp/quarnel-pair-kill-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 2;
    }
    SetAppDir(pattern);
    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);

    std::printf(
        "content.ct + state.st under SIGKILL: %zu nodes, kills 0-150 ms into a run of saves (seed %u)\n",
        nodes, seed);
    std::printf("%-14s %6s %11s %16s %16s %22s\n", "swap", "kills", "torn pairs", "saves completed",
                "leftovers found", "leftovers after load");
    bool ok = true;
    for (bool refuse : {false, true}) {
        const Tally t = Run(refuse ? std::max(1, kills / 2) : kills, nodes, refuse, rng);
        std::printf("%-14s %6d %11d %16lld %16d %22d\n", refuse ? "rename aside" : "exchange", t.kills,
                    t.torn, t.saves, t.leftovers, t.leftoversAfter);
        ok = ok && t.torn == 0 && t.leftoversAfter == 0;
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return ok ? 0 : 1;
}
