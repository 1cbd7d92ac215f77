// The merge of one big listing into one stored directory: first listing (everything new), the
// same listing again (everything found), and a listing with a tenth replaced. Prints times.

#include "model/Records.h"
#include "update/DirectoryMerge.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double Millis(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<FtpEntry> Listing(int count, int renamedEvery) {
    std::vector<FtpEntry> listing;
    listing.reserve(count);
    for (int i = 0; i < count; ++i) {
        bool renamed = renamedEvery && i % renamedEvery == 0;
        listing.push_back({(renamed ? "renamed-" : "entry-") + std::to_string(i) + ".dat", i % 100 == 0,
                           static_cast<uint64_t>(i) * 13});
    }
    return listing;
}

} // namespace

int main() {
    std::atomic<bool> noStop{false};
    for (int count : {1000, 10000, 100000, 1000000}) {
        CFTPSite site;
        CFTPDir& root = *site.m_pRootDir;
        auto first = Listing(count, 0);
        auto again = Listing(count, 0);
        auto changed = Listing(count, 10);

        auto t0 = std::chrono::steady_clock::now();
        MergeListing(site, root, first, noStop);
        auto t1 = std::chrono::steady_clock::now();
        MergeListing(site, root, again, noStop);
        auto t2 = std::chrono::steady_clock::now();
        auto outcome = MergeListing(site, root, changed, noStop);
        auto t3 = std::chrono::steady_clock::now();
        std::printf("merge %8d entries: first %8.1f ms, same again %8.1f ms, a tenth renamed %8.1f ms (%zu "
                    "removed)\n",
                    count, Millis(t1 - t0), Millis(t2 - t1), Millis(t3 - t2),
                    outcome.removedFiles.size() + outcome.removedDirs.size());
    }
    return 0;
}
