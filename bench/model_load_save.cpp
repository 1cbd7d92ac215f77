// Saves and loads a generated site of 1,000,000 nodes (about 50,000 directories, names of 8 to 40
// bytes, some of them GBK) and reports the time of each step and the memory per node.
//
//   bench_model_load_save [NODES]
//   bench_model_load_save --make DIR [NODES]   only generate and save the site into DIR (kept)
//   bench_model_load_save --load DIR           only load the site saved in DIR, and save it again
//
// The load runs in a fresh process (this program started again with "--load DIR") so that its
// peak memory is the load's own. --make and --load time loads alone, as whole processes, against
// another build of this program; the files each build saves again can be compared byte for byte.
#include "model/DataArchive.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/TreeWalk.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU time of this process: on a busy machine it says more than the wall clock.
double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// A figure from /proc/self/status, in bytes.
long long StatusBytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atoll(line.c_str() + prefix.size()) * 1024;
    return 0;
}

std::string RandomName(std::mt19937& rng) {
    std::uniform_int_distribution<int> length(8, 40);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<int> lead(0xB0, 0xF7), trail(0xA1, 0xFE);
    const int n = length(rng);
    std::string name;
    name.reserve(static_cast<std::size_t>(n));
    const bool gbk = rng() % 10 == 0;
    while (static_cast<int>(name.size()) < n) {
        if (gbk && n - static_cast<int>(name.size()) >= 2 && rng() % 2 == 0) {
            name.push_back(static_cast<char>(lead(rng)));
            name.push_back(static_cast<char>(trail(rng)));
        } else {
            name.push_back(static_cast<char>(letter(rng)));
        }
    }
    return name;
}

struct TreeFigures {
    std::size_t dirs = 0;
    std::size_t files = 0;
    std::size_t nameBytes = 0;
};

TreeFigures Measure(const CFTPDir& root) {
    TreeFigures figures;
    WalkStoredOrder(
        root,
        [&](const CFTPDir& dir, std::size_t) {
            ++figures.dirs;
            figures.nameBytes += dir.m_strName.size();
        },
        [&](const CFTPFile& file, std::size_t) {
            ++figures.files;
            figures.nameBytes += file.m_strName.size();
        });
    return figures;
}

void Generate(CFTPSite& site, std::size_t nodes) {
    std::mt19937 rng(20240501);
    const std::size_t dirCount = nodes / 20;
    std::vector<CFTPDir*> dirs{site.m_pRootDir.get()};
    dirs.reserve(dirCount + 1);
    for (std::size_t i = 0; i < dirCount; ++i) {
        // Prefer recent directories as parents, which gives a realistic depth of 5 to 15.
        const std::size_t span = std::min<std::size_t>(dirs.size(), 64);
        CFTPDir* parent = rng() % 8 == 0 ? dirs[rng() % dirs.size()] : dirs[dirs.size() - 1 - rng() % span];
        auto dir = std::make_unique<CFTPDir>();
        dir->m_strName = RandomName(rng);
        dir->m_bNew = static_cast<int32_t>(rng() % 2);
        dir->m_pParent = parent;
        dirs.push_back(parent->m_subDirs.AddTail(std::move(dir)));
    }
    for (std::size_t i = dirCount; i < nodes; ++i) {
        CFTPDir* parent = dirs[rng() % dirs.size()];
        auto file = std::make_unique<CFTPFile>();
        file->m_strName = RandomName(rng);
        file->m_nSize = rng() % 100000000;
        file->m_bNew = static_cast<int32_t>(rng() % 2);
        file->m_pParent = parent;
        parent->m_files.AddTail(std::move(file));
    }
}

std::unique_ptr<CFTPSite> BenchSite() {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = "bench.example";
    site->m_strUser = "u";
    site->m_strPassword = "p";
    return site;
}

int RunLoad() {
    const long long before = StatusBytes("VmRSS");
    auto site = BenchSite();
    auto start = Clock::now();
    double cpu = CpuSeconds();
    site->LoadCatalogue();
    const double catalogue = Seconds(start);
    const double catalogueCpu = CpuSeconds() - cpu;
    start = Clock::now();
    cpu = CpuSeconds();
    site->LoadState();
    const double state = Seconds(start);
    const double stateCpu = CpuSeconds() - cpu;
    const long long peak = StatusBytes("VmHWM");
    const long long after = StatusBytes("VmRSS");
    const TreeFigures figures = Measure(*site->m_pRootDir);
    const double nodes = static_cast<double>(figures.dirs + figures.files);
    std::printf("load: %zu directories, %zu files, %zu name bytes\n", figures.dirs, figures.files,
                figures.nameBytes);
    std::printf(
        "load content.ct: %.3f s (cpu %.3f s)   load state.st: %.3f s (cpu %.3f s)   together: %.3f s "
        "(cpu %.3f s)\n",
        catalogue, catalogueCpu, state, stateCpu, catalogue + state, catalogueCpu + stateCpu);
    std::printf(
        "memory: %.1f bytes/node resident after load (%.1f beyond the name bytes), peak %.1f bytes/node "
        "(%.1f beyond the name bytes)\n",
        static_cast<double>(after - before) / nodes,
        static_cast<double>(after - before - static_cast<long long>(figures.nameBytes)) / nodes,
        static_cast<double>(peak - before) / nodes,
        static_cast<double>(peak - before - static_cast<long long>(figures.nameBytes)) / nodes);
    // The writer alone, without the disk: the tree encoded into memory.
    {
        std::string bytes;
        bytes.reserve(64u << 20);
        start = Clock::now();
        CDataArchive ar(&bytes);
        site->m_pRootDir->Persist(ar);
        ar.Close();
        std::printf("encode content.ct into memory: %.3f s (%zu bytes)\n", Seconds(start), bytes.size());
        start = Clock::now();
        CFTPSite decoded;
        CDataArchive in(bytes.data(), bytes.size());
        decoded.m_pRootDir->Persist(in);
        std::printf("decode content.ct from memory: %.3f s\n", Seconds(start));
    }

    // Saving a tree as the update engine does: one that was loaded (its nodes lie in file order).
    start = Clock::now();
    cpu = CpuSeconds();
    const bool catalogueSaved = site->SaveCatalogue();
    const double saveCatalogue = Seconds(start);
    const double saveCatalogueCpu = CpuSeconds() - cpu;
    start = Clock::now();
    cpu = CpuSeconds();
    const bool stateSaved = site->SaveState();
    const double saveState = Seconds(start);
    const double saveStateCpu = CpuSeconds() - cpu;
    std::printf(
        "save of the loaded tree: content.ct %.3f s (cpu %.3f s, %s)   state.st %.3f s (cpu %.3f s, %s)   "
        "together: %.3f s (cpu %.3f s)\n",
        saveCatalogue, saveCatalogueCpu, catalogueSaved ? "ok" : "FAILED", saveState, saveStateCpu,
        stateSaved ? "ok" : "FAILED", saveCatalogue + saveState, saveCatalogueCpu + saveStateCpu);
    start = Clock::now();
    site.reset();
    std::printf("destroy: %.3f s\n", Seconds(start));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--load") {
        SetAppDir(argv[2]);
        return RunLoad();
    }
    const bool make = argc >= 3 && std::string(argv[1]) == "--make";
    const char* nodeArg = make ? (argc > 3 ? argv[3] : nullptr) : (argc > 1 ? argv[1] : nullptr);
    const std::size_t nodes = nodeArg ? std::strtoull(nodeArg, nullptr, 10) : 1000000;

    char pattern[] = "/tmp/quarnel-bench-XXXXXX";
    if (!make && !mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string appDir = make ? argv[2] : pattern;
    SetAppDir(appDir);

    const long long baseline = StatusBytes("VmRSS");
    auto site = BenchSite();
    auto start = Clock::now();
    Generate(*site, nodes);
    const double generate = Seconds(start);
    const TreeFigures figures = Measure(*site->m_pRootDir);
    const long long built = StatusBytes("VmRSS");
    const double nodeCount = static_cast<double>(figures.dirs + figures.files);
    std::printf("generated: %zu directories, %zu files, %zu name bytes in %.3f s\n", figures.dirs,
                figures.files, figures.nameBytes, generate);
    std::printf(
        "memory of the generated tree: %.1f bytes/node (%.1f beyond the name bytes); sizeof CFTPFile %zu, "
        "CFTPDir %zu\n",
        static_cast<double>(built - baseline) / nodeCount,
        static_cast<double>(built - baseline - static_cast<long long>(figures.nameBytes)) / nodeCount,
        sizeof(CFTPFile), sizeof(CFTPDir));

    start = Clock::now();
    double cpu = CpuSeconds();
    const bool catalogueSaved = site->SaveCatalogue();
    const double saveCatalogue = Seconds(start);
    const double saveCatalogueCpu = CpuSeconds() - cpu;
    start = Clock::now();
    cpu = CpuSeconds();
    const bool stateSaved = site->SaveState();
    const double saveState = Seconds(start);
    const double saveStateCpu = CpuSeconds() - cpu;
    const std::string dataDir = SiteDataDirPath(site->GetKey());
    std::printf("save of the generated tree: content.ct %.3f s (cpu %.3f s, %s, %ju bytes)   state.st %.3f s "
                "(cpu %.3f s, %s, %ju "
                "bytes)   together: %.3f s (cpu %.3f s)\n",
                saveCatalogue, saveCatalogueCpu, catalogueSaved ? "ok" : "FAILED",
                static_cast<uintmax_t>(std::filesystem::file_size(dataDir + "/content.ct")), saveState,
                saveStateCpu, stateSaved ? "ok" : "FAILED",
                static_cast<uintmax_t>(std::filesystem::file_size(dataDir + "/state.st")),
                saveCatalogue + saveState, saveCatalogueCpu + saveStateCpu);
    site.reset();
    std::fflush(stdout);
    if (make)
        return catalogueSaved && stateSaved ? 0 : 1;

    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", argv[0], "--load", appDir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(appDir, ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
