#pragma once
// CName: the name of a tree node in four bytes. The bytes live in chunks of 64 KB that every tree
// of the process draws from, the name being the number of its chunk and its place there; a
// length byte (or 0xFF and four bytes for names of 255 bytes and more) comes before the bytes.
// A chunk counts the names in it and goes back to the system with the last one, so a tree's
// names are freed with the tree whichever thread built it and whichever site it ends up in. A
// name never changes in place: assigning makes a new one, copying shares the bytes, and the bytes
// of a name may be read by any thread that may read the node. Any bytes, NUL included.

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace name_chunks {
constexpr uint32_t kChunkBits = 16;
constexpr uint32_t kChunkCount = uint32_t{1} << (32 - kChunkBits);
// Where each chunk lies; set before any name in it is handed out, cleared when it is freed.
extern std::atomic<const unsigned char*> g_base[kChunkCount];
} // namespace name_chunks

class CName {
public:
    CName() = default;
    explicit CName(std::string_view text) : m_nHandle(Make(text)) {}
    CName(const CName& other) noexcept : m_nHandle(other.m_nHandle) { Retain(m_nHandle); }
    CName(CName&& other) noexcept : m_nHandle(std::exchange(other.m_nHandle, 0)) {}
    ~CName() { Release(m_nHandle); }

    CName& operator=(const CName& other) noexcept {
        Retain(other.m_nHandle);
        Release(m_nHandle);
        m_nHandle = other.m_nHandle;
        return *this;
    }
    CName& operator=(CName&& other) noexcept {
        if (this != &other) {
            Release(m_nHandle);
            m_nHandle = std::exchange(other.m_nHandle, 0);
        }
        return *this;
    }
    CName& operator=(std::string_view text) {
        const uint32_t made = Make(text);
        Release(m_nHandle);
        m_nHandle = made;
        return *this;
    }

    std::string_view View() const { return m_nHandle ? ViewOf(m_nHandle) : std::string_view(); }
    operator std::string_view() const { return View(); }
    // A copy, for code that keeps names as strings; the walks over a tree take the view.
    operator std::string() const { return str(); }
    std::string str() const { return std::string(View()); }
    // The bytes, not followed by a NUL.
    const char* data() const { return View().data(); }
    std::size_t size() const { return View().size(); }
    bool empty() const { return m_nHandle == 0; }
    std::size_t find(std::string_view part, std::size_t from = 0) const { return View().find(part, from); }
    std::size_t find(char c, std::size_t from = 0) const { return View().find(c, from); }
    std::size_t rfind(std::string_view part, std::size_t from = std::string_view::npos) const {
        return View().rfind(part, from);
    }

    friend bool operator==(const CName& a, const CName& b) {
        return a.m_nHandle == b.m_nHandle || a.View() == b.View();
    }
    friend bool operator==(const CName& a, std::string_view b) { return a.View() == b; }
    friend std::strong_ordering operator<=>(const CName& a, const CName& b) { return a.View() <=> b.View(); }
    friend std::strong_ordering operator<=>(const CName& a, std::string_view b) { return a.View() <=> b; }
    template <class Stream> friend Stream& operator<<(Stream& out, const CName& name) {
        out << name.View();
        return out;
    }
    friend std::string operator+(std::string_view a, const CName& b) {
        std::string joined;
        joined.reserve(a.size() + b.size());
        return joined.append(a).append(b.View());
    }
    friend std::string operator+(const CName& a, std::string_view b) {
        std::string joined;
        joined.reserve(a.size() + b.size());
        return joined.append(a.View()).append(b);
    }

    // Chunks in use (each 64 KB, or one name's size for a longer name), for tests and benchmarks.
    static std::size_t ChunksInUse();

private:
    static uint32_t Make(std::string_view text);
    static std::string_view ViewOf(uint32_t handle) {
        using namespace name_chunks;
        const unsigned char* p = g_base[handle >> kChunkBits].load(std::memory_order_relaxed) +
                                 (handle & ((uint32_t{1} << kChunkBits) - 1));
        std::size_t length = *p++;
        if (length == 0xFF) {
            uint32_t wide;
            std::memcpy(&wide, p, sizeof wide);
            length = wide;
            p += sizeof wide;
        }
        return std::string_view(reinterpret_cast<const char*>(p), length);
    }
    static void Retain(uint32_t handle) noexcept {
        if (handle)
            RetainChunk(handle >> name_chunks::kChunkBits);
    }
    static void Release(uint32_t handle) noexcept {
        if (handle)
            ReleaseChunk(handle >> name_chunks::kChunkBits);
    }
    static void RetainChunk(uint32_t chunk) noexcept;
    static void ReleaseChunk(uint32_t chunk) noexcept;

    uint32_t m_nHandle = 0; // 0: empty; else chunk << 16 | offset
};
