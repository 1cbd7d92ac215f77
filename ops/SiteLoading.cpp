#include "ops/SiteLoading.h"

#include "model/Records.h"

#include <algorithm>
#include <atomic>
#include <thread>

void EnsureSitesLoaded(const std::vector<CFTPSite*>& sites, unsigned threads) {
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, sites.size()));
    if (threads <= 1) {
        for (CFTPSite* site : sites)
            site->EnsureLoaded();
        return;
    }
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < sites.size();)
            sites[i]->EnsureLoaded();
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (unsigned i = 1; i < threads; ++i)
        pool.emplace_back(work);
    work();
    for (std::thread& thread : pool)
        thread.join();
}
