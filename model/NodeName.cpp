#include "model/NodeName.h"

#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/mman.h>
#include <vector>

namespace name_chunks {
constinit std::atomic<const unsigned char*> g_base[kChunkCount]{};
} // namespace name_chunks

namespace {

using namespace name_chunks;

constexpr std::size_t kChunkBytes = std::size_t{1} << kChunkBits;
// A name this long or longer gets a chunk of its own, so that no chunk is left mostly empty.
constexpr std::size_t kOwnChunkFrom = kChunkBytes / 8;
// What a thread puts on the count of the chunk it fills: each name it makes there takes one unit
// of it instead of a shared increment, and what is left comes off when the thread moves on. A
// chunk holds far fewer names than this, so the count cannot reach zero while a thread fills it.
constexpr uint32_t kCredit = uint32_t{1} << 30;

// Names (and copies) alive in each chunk, plus the credit of a thread filling it.
std::atomic<uint32_t> g_refs[kChunkCount];

struct Registry {
    std::mutex lock;
    std::vector<uint32_t> free; // chunk numbers given back, for reuse
    uint32_t next = 1;          // chunk 0 is never used: handle 0 is the empty name
    std::size_t inUse = 0;
};
uint32_t g_sizes[kChunkCount]; // bytes mapped for each chunk in use; guarded by Registry::lock

Registry& Chunks() {
    static Registry* registry = new Registry; // never destroyed: names may outlive statics
    return *registry;
}

unsigned char* NewChunk(std::size_t bytes, uint32_t refs, uint32_t& index) {
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE; // every byte is written soon; one call costs less than a fault a page
#endif
    void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    Registry& registry = Chunks();
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        if (!registry.free.empty()) {
            index = registry.free.back();
            registry.free.pop_back();
        } else if (registry.next < kChunkCount) {
            index = registry.next++;
        } else {
            index = 0;
        }
        if (index) {
            g_sizes[index] = static_cast<uint32_t>(bytes);
            ++registry.inUse;
        }
    }
    if (!index) {
        munmap(mapped, bytes);
        throw std::bad_alloc(); // four gigabytes of names
    }
    g_refs[index].store(refs, std::memory_order_relaxed);
    g_base[index].store(static_cast<const unsigned char*>(mapped), std::memory_order_release);
    return static_cast<unsigned char*>(mapped);
}

void FreeChunk(uint32_t index) noexcept {
    Registry& registry = Chunks();
    const unsigned char* base;
    std::size_t bytes;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        base = g_base[index].exchange(nullptr, std::memory_order_acq_rel);
        bytes = g_sizes[index];
        g_sizes[index] = 0;
        --registry.inUse;
        try {
            registry.free.push_back(index);
        } catch (...) {
            // The number is lost for reuse; the memory is freed all the same.
        }
    }
    munmap(const_cast<unsigned char*>(base), bytes);
}

void Drop(uint32_t index, uint32_t units) noexcept {
    if (g_refs[index].fetch_sub(units, std::memory_order_acq_rel) == units)
        FreeChunk(index);
}

// The chunk this thread fills with the names it makes.
struct ThreadChunk {
    uint32_t index = 0;
    uint32_t used = 0;
    uint32_t credit = 0;
    unsigned char* base = nullptr;

    ~ThreadChunk() { Leave(); }
    void Leave() noexcept {
        if (index)
            Drop(index, credit);
        index = 0;
    }
};
thread_local ThreadChunk t_chunk;

void Put(unsigned char* at, std::string_view text) {
    if (text.size() < 0xFF) {
        *at++ = static_cast<unsigned char>(text.size());
    } else {
        *at++ = 0xFF;
        const auto wide = static_cast<uint32_t>(text.size());
        std::memcpy(at, &wide, sizeof wide);
        at += sizeof wide;
    }
    std::memcpy(at, text.data(), text.size());
}

} // namespace

uint32_t CName::Make(std::string_view text) {
    if (text.empty())
        return 0;
    if (text.size() > UINT32_MAX - 8)
        throw std::length_error("name too long");
    const std::size_t need = (text.size() < 0xFF ? 1 : 5) + text.size();
    uint32_t index;
    if (need >= kOwnChunkFrom) {
        unsigned char* base = NewChunk(need, 1, index);
        Put(base, text);
        return index << kChunkBits;
    }
    ThreadChunk& chunk = t_chunk;
    if (!chunk.index || chunk.used + need > kChunkBytes) {
        chunk.Leave();
        chunk.base = NewChunk(kChunkBytes, kCredit, index);
        chunk.index = index;
        chunk.used = 0;
        chunk.credit = kCredit;
    }
    Put(chunk.base + chunk.used, text);
    const uint32_t handle = chunk.index << kChunkBits | chunk.used;
    chunk.used += static_cast<uint32_t>(need);
    --chunk.credit;
    return handle;
}

void CName::RetainChunk(uint32_t chunk) noexcept {
    g_refs[chunk].fetch_add(1, std::memory_order_relaxed);
}

void CName::ReleaseChunk(uint32_t chunk) noexcept {
    Drop(chunk, 1);
}

std::size_t CName::ChunksInUse() {
    Registry& registry = Chunks();
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.inUse;
}
