// Imports generated site lists through CQuarnelDoc::ImportSites (parse, duplicate test, append,
// site.ds written) and reports the time of each step. Reported, not asserted.
//
//   bench_import_sites [LINES]     (default 100000)
//
// Steps: LINES lines into an empty list; LINES other lines into the LINES sites that gives; the
// same file again (every line a duplicate); and the write of site.ds alone, for comparison.
#include "model/Paths.h"
#include "ops/QuarnelDoc.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of this process: on a busy machine it says more than the wall clock.
double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// `lines` lines of user:password@host:port, every one a new (host, user) pair; `tag` keeps the
// hosts of two files apart. One line in eight is anonymous, one in sixteen carries "ftp://".
std::string WriteList(const std::string& dir, const std::string& tag, long lines) {
    const std::string path = dir + "/" + tag + ".txt";
    std::ofstream out(path, std::ios::binary);
    for (long i = 0; i < lines; ++i) {
        if (i % 16 == 0)
            out << "ftp://";
        if (i % 8 != 0)
            out << "user" << i << ":pw" << i << "@";
        out << "host-" << tag << "-" << i << ".example.org:" << 21 + i % 3 << "\r\n";
    }
    return path;
}

void Step(CQuarnelDoc& doc, const char* what, const std::string& path) {
    const std::size_t before = doc.m_siteList.GetCount();
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    const ImportResult result = doc.ImportSites(path);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("%-44s %8zu -> %8zu sites  %8.3f s wall  %8.3f s cpu%s\n", what, before,
                doc.m_siteList.GetCount(), wall, cpu, result.listSaved ? "" : "  (site.ds NOT written)");
}

} // namespace

int main(int argc, char** argv) {
    const long lines = argc > 1 ? std::atol(argv[1]) : 100000;
    char pattern[] = "/tmp/quarnel-bench-import-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    SetAppDir(dir);
    const std::string first = WriteList(dir, "a", lines);
    const std::string second = WriteList(dir, "b", lines);

    std::printf("import of %ld-line files (%.1f MiB each)\n", lines,
                static_cast<double>(std::filesystem::file_size(first)) / (1024.0 * 1024.0));
    {
        CQuarnelDoc doc;
        Step(doc, "new lines into an empty list", first);
        Step(doc, "new lines into the list they made", second);
        Step(doc, "the first file again (all duplicates)", first);

        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        const bool saved = doc.SaveSiteList();
        std::printf("%-44s %8zu sites              %8.3f s wall  %8.3f s cpu%s\n", "site.ds written alone",
                    doc.m_siteList.GetCount(), std::chrono::duration<double>(Clock::now() - t0).count(),
                    CpuSeconds() - cpu0, saved ? "" : "  (failed)");
    }
    std::filesystem::remove_all(dir);
    return 0;
}
