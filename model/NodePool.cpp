#include "model/NodePool.h"

#include "model/Records.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <vector>

// AddressSanitizer must see every block to catch a use after free; ThreadSanitizer may watch the
// pool itself. QUARNEL_NO_NODE_POOL (the build option QUARNEL_NODE_POOL=OFF) hands every node to
// the system allocator, to measure what the pool is worth.
#if defined(QUARNEL_NO_NODE_POOL) || defined(__SANITIZE_ADDRESS__)
#define QUARNEL_POOL_BYPASS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUARNEL_POOL_BYPASS 1
#endif
#endif

namespace {

struct FreeBlock {
    FreeBlock* next;
};

[[maybe_unused]] constexpr std::size_t kBatch = 256; // blocks moved between a thread and the shared list
[[maybe_unused]] constexpr std::size_t kSlabBytes = 1 << 20; // blocks are carved from slabs of this size

// A slab with its pages in place: every block of it is used soon, and one call that maps them
// all costs less than a fault on each page (a quarter of a million of them for a large tree).
[[maybe_unused]] char* NewSlab() {
#ifdef MAP_POPULATE
    void* slab =
        mmap(nullptr, kSlabBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (slab != MAP_FAILED)
        return static_cast<char*>(slab);
#endif
    return static_cast<char*>(std::malloc(kSlabBytes));
}

} // namespace

struct CNodePool::Shared {
    std::mutex lock;
    FreeBlock* head = nullptr;
    std::size_t count = 0;
    char* slabNext = nullptr;
    char* slabEnd = nullptr;
};

namespace {

// The free blocks one thread holds for one pool. Given back to the shared list when the thread
// ends, so that blocks freed by short-lived worker threads are not lost.
struct ThreadCache {
    CNodePool::Shared* shared = nullptr;
    FreeBlock* head = nullptr;
    std::size_t count = 0;
    bool gone = false; // the thread is ending: frees go straight to the shared list

    ~ThreadCache() {
        gone = true;
        if (!shared || !head)
            return;
        FreeBlock* tail = head;
        while (tail->next)
            tail = tail->next;
        std::lock_guard<std::mutex> guard(shared->lock);
        tail->next = shared->head;
        shared->head = head;
        shared->count += count;
        head = nullptr;
        count = 0;
    }
};

// One cache per pool per thread; the program has a single pool, so a small fixed table is enough.
constexpr std::size_t kMaxPools = 4;
thread_local ThreadCache t_caches[kMaxPools];

std::mutex g_registryLock;
CNodePool::Shared* g_registry[kMaxPools];

[[maybe_unused]] ThreadCache& CacheFor(CNodePool::Shared* shared) {
    for (ThreadCache& cache : t_caches) {
        if (cache.shared == shared)
            return cache;
        if (!cache.shared) {
            cache.shared = shared;
            return cache;
        }
    }
    std::abort(); // more pools than the table holds: a programming error
}

} // namespace

CNodePool::CNodePool(std::size_t blockSize)
    // Pointer-aligned, as the free list needs and the file node asks: rounding up to the 16 bytes of
    // the general allocator would make a 24-byte node cost 32.
    : m_nBlockSize((std::max(blockSize, sizeof(FreeBlock)) + alignof(FreeBlock) - 1) / alignof(FreeBlock) *
                   alignof(FreeBlock)),
      m_pShared(new Shared) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    for (auto*& slot : g_registry)
        if (!slot) {
            slot = m_pShared;
            return;
        }
    std::abort();
}

void* CNodePool::Allocate() {
#ifdef QUARNEL_POOL_BYPASS
    return ::operator new(m_nBlockSize);
#else
    ThreadCache& cache = CacheFor(m_pShared);
    if (!cache.head) {
        std::lock_guard<std::mutex> guard(m_pShared->lock);
        // Take a batch from the shared free list, else carve one from the current slab.
        for (std::size_t i = 0; i < kBatch && m_pShared->head; ++i) {
            FreeBlock* block = m_pShared->head;
            m_pShared->head = block->next;
            --m_pShared->count;
            block->next = cache.head;
            cache.head = block;
            ++cache.count;
        }
        if (!cache.head) {
            for (std::size_t i = 0; i < kBatch; ++i) {
                if (static_cast<std::size_t>(m_pShared->slabEnd - m_pShared->slabNext) < m_nBlockSize) {
                    auto* slab = NewSlab();
                    if (!slab) {
                        if (cache.head)
                            break;
                        throw std::bad_alloc();
                    }
                    m_pShared->slabNext = slab;
                    m_pShared->slabEnd = slab + kSlabBytes;
                }
                auto* block = reinterpret_cast<FreeBlock*>(m_pShared->slabNext);
                m_pShared->slabNext += m_nBlockSize;
                block->next = cache.head;
                cache.head = block;
                ++cache.count;
            }
        }
    }
    FreeBlock* block = cache.head;
    cache.head = block->next;
    --cache.count;
    return block;
#endif
}

void CNodePool::Free(void* pointer) noexcept {
#ifdef QUARNEL_POOL_BYPASS
    ::operator delete(pointer);
#else
    if (!pointer)
        return;
    ThreadCache& cache = CacheFor(m_pShared);
    auto* block = static_cast<FreeBlock*>(pointer);
    if (cache.gone) {
        std::lock_guard<std::mutex> guard(m_pShared->lock);
        block->next = m_pShared->head;
        m_pShared->head = block;
        ++m_pShared->count;
        return;
    }
    block->next = cache.head;
    cache.head = block;
    ++cache.count;
    if (cache.count >= 4 * kBatch) {
        // Hand half back, so a thread that frees what others allocated does not hoard it.
        FreeBlock* first = cache.head;
        FreeBlock* last = first;
        for (std::size_t i = 1; i < 2 * kBatch; ++i)
            last = last->next;
        cache.head = last->next;
        cache.count -= 2 * kBatch;
        std::lock_guard<std::mutex> guard(m_pShared->lock);
        last->next = m_pShared->head;
        m_pShared->head = first;
        m_pShared->count += 2 * kBatch;
    }
#endif
}

CNodePool& FileNodePool() {
    // Never destroyed: files may outlive every other static object.
    static CNodePool* pool = new CNodePool(sizeof(CFTPFile));
    return *pool;
}

void* CFTPFile::operator new(std::size_t size) {
    if (size != sizeof(CFTPFile))
        return ::operator new(size);
    return FileNodePool().Allocate();
}

void CFTPFile::operator delete(void* pointer, std::size_t size) noexcept {
    if (size != sizeof(CFTPFile)) {
        ::operator delete(pointer);
        return;
    }
    FileNodePool().Free(pointer);
}
