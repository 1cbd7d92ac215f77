// The file-node pool: blocks are distinct and aligned, and may be freed by another thread than
// the one that took them (a worker builds nodes, the window thread destroys them).
#include "model/NodePool.h"
#include "model/Records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

TEST(NodePool, BlocksAreDistinctAndAligned) {
    CNodePool& pool = FileNodePool();
    std::set<void*> seen;
    std::vector<void*> blocks;
    for (int i = 0; i < 5000; ++i) {
        void* block = pool.Allocate();
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(CFTPFile), 0u);
        EXPECT_TRUE(seen.insert(block).second);
        blocks.push_back(block);
    }
    for (void* block : blocks)
        pool.Free(block);
}

TEST(NodePool, FilesMadeInOneThreadDieInAnother) {
    std::vector<std::unique_ptr<CFTPFile>> handoff;
    std::mutex lock;
    std::vector<std::thread> makers;
    for (int t = 0; t < 4; ++t)
        makers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::vector<std::unique_ptr<CFTPFile>> made;
                for (int i = 0; i < 1000; ++i) {
                    made.push_back(std::make_unique<CFTPFile>());
                    made.back()->m_strName = "file name long enough to allocate " + std::to_string(t);
                    made.back()->m_nSize = static_cast<uint64_t>(i);
                }
                std::lock_guard<std::mutex> guard(lock);
                for (auto& file : made)
                    handoff.push_back(std::move(file));
            }
        });
    std::thread destroyer([&] {
        for (int spins = 0; spins < 2000; ++spins) {
            std::vector<std::unique_ptr<CFTPFile>> taken;
            {
                std::lock_guard<std::mutex> guard(lock);
                taken.swap(handoff);
            }
            for (std::size_t i = 0; i < taken.size(); ++i)
                ASSERT_LT(taken[i]->m_nSize, 1000u);
            std::this_thread::yield();
        }
    });
    for (auto& maker : makers)
        maker.join();
    destroyer.join();
    std::lock_guard<std::mutex> guard(lock);
    handoff.clear();
}
