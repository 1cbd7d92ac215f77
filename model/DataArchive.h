#pragma once
// CDataArchive: the binary stream every data file is written in. Little-endian integers,
// length-prefixed strings, counted lists and objects introduced by class tags, read and written
// in one sequential pass through a fixed buffer. Damaged input raises CArchiveException; a failing
// file raises CFileException.

#include "model/ArchiveException.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct CClassRecord;
class CObject;

class CDataArchive {
public:
    enum Mode { store = 0, load = 1 };
    static constexpr std::size_t kDefaultBufferSize = 4096;
    // The index counter must stay below this value on both sides.
    static constexpr uint32_t kMaxIndex = 0x3FFFFFFE;

    // On an open file descriptor, which stays the caller's; `fileName` names it in file errors.
    // Loading with the default size reads the file in larger blocks than that.
    CDataArchive(int fd, Mode mode, std::string fileName, std::size_t bufferSize = kDefaultBufferSize);
    // Loading from bytes in memory, which must outlive the archive.
    CDataArchive(const void* data, std::size_t size);
    // Storing into a string in memory.
    explicit CDataArchive(std::string* sink, std::size_t bufferSize = kDefaultBufferSize);
    // A storing archive that was not closed writes out its buffer here; errors are swallowed.
    ~CDataArchive();

    CDataArchive(const CDataArchive&) = delete;
    CDataArchive& operator=(const CDataArchive&) = delete;

    bool IsStoring() const { return m_mode == store; }
    bool IsLoading() const { return m_mode == load; }

    // ---- storing
    void WriteByte(uint8_t value) {
        Room(1);
        *m_cur++ = value;
    }
    void WriteWord(uint16_t value) {
        Room(2);
        m_cur[0] = static_cast<uint8_t>(value);
        m_cur[1] = static_cast<uint8_t>(value >> 8);
        m_cur += 2;
    }
    void WriteUInt32(uint32_t value) {
        Room(4);
        for (int i = 0; i < 4; ++i)
            m_cur[i] = static_cast<uint8_t>(value >> (8 * i));
        m_cur += 4;
    }
    void WriteInt32(int32_t value) { WriteUInt32(static_cast<uint32_t>(value)); }
    void WriteUInt64(uint64_t value) {
        Room(8);
        for (int i = 0; i < 8; ++i)
            m_cur[i] = static_cast<uint8_t>(value >> (8 * i));
        m_cur += 8;
    }
    void WriteBool(bool value) { WriteByte(value ? 1 : 0); }
    void WriteBytes(const void* data, std::size_t size);
    // Length prefix in its shortest form, then the bytes.
    void WriteString(std::string_view text);
    // A list's element count: a word below 0xFFFF, else 0xFFFF and a 32-bit count.
    void WriteCount(std::size_t count);
    // Tag (with the class description the first time), then the object's Persist.
    void WriteObject(CObject& object);
    // Only the tag of an object whose fields the caller writes itself; the object takes its index.
    void WriteObjectTag(const CClassRecord& record);

    // ---- loading
    uint8_t ReadByte() {
        Need(1);
        return *m_cur++;
    }
    uint16_t ReadWord() {
        Need(2);
        const uint16_t value = static_cast<uint16_t>(m_cur[0] | (m_cur[1] << 8));
        m_cur += 2;
        return value;
    }
    uint32_t ReadUInt32() {
        Need(4);
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<uint32_t>(m_cur[i]) << (8 * i);
        m_cur += 4;
        return value;
    }
    int32_t ReadInt32() { return static_cast<int32_t>(ReadUInt32()); }
    uint64_t ReadUInt64() {
        Need(8);
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= static_cast<uint64_t>(m_cur[i]) << (8 * i);
        m_cur += 8;
        return value;
    }
    bool ReadBool() { return ReadByte() != 0; }
    void ReadBytes(void* data, std::size_t size);
    // Any prefix form, the wide form included; the value is cut at its first zero byte.
    void ReadString(std::string& text) {
        // The common case, a short string wholly in the buffer, without a call.
        const std::size_t buffered = static_cast<std::size_t>(m_end - m_cur);
        if (buffered > 0 && m_cur[0] != 0xFF && m_cur[0] < buffered) {
            const std::size_t size = m_cur[0];
            const char* bytes = reinterpret_cast<const char*>(m_cur + 1);
            const void* zero = std::memchr(bytes, 0, size);
            AssignString(text, bytes,
                         zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : size);
            m_cur += 1 + size;
            return;
        }
        ReadStringSlow(text);
    }
    // The same string as ReadString, seen where it lies: in the buffer when it is there whole (valid
    // until the next read), else in `scratch`.
    std::string_view ReadStringView(std::string& scratch) {
        const std::size_t buffered = static_cast<std::size_t>(m_end - m_cur);
        if (buffered > 0 && m_cur[0] != 0xFF && m_cur[0] < buffered) {
            const std::size_t size = m_cur[0];
            const char* bytes = reinterpret_cast<const char*>(m_cur + 1);
            const void* zero = std::memchr(bytes, 0, size);
            m_cur += 1 + size;
            return std::string_view(
                bytes, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : size);
        }
        ReadStringSlow(scratch);
        return scratch;
    }
    std::string ReadString() {
        std::string text;
        ReadString(text);
        return text;
    }
    uint32_t ReadCount();
    // Reads a tag (and a class description) and returns the new object after its Persist ran.
    std::unique_ptr<CObject> ReadObject();
    // Reads only the tag and class description of the next object and gives the object its
    // index; the caller creates the object and reads its fields.
    const CClassRecord* ReadObjectTag();

    // True when at least `size` more bytes can be read.
    bool HasBytes(uint64_t size);
    // Bytes surely left to read: the rest of the memory or of the file as it was opened; only the
    // buffered bytes for a source of unknown length.
    uint64_t BytesLeft() const {
        const uint64_t buffered = static_cast<uint64_t>(m_end - m_cur);
        return m_nFileSize == UINT64_MAX ? buffered : buffered + SourceLeft();
    }

    // Writes out what is left in the buffer (storing); the archive is not used afterwards.
    void Close();

private:
    void Room(std::size_t size) {
        if (static_cast<std::size_t>(m_end - m_cur) < size)
            FlushBuffer();
    }
    void Need(std::size_t size) {
        if (static_cast<std::size_t>(m_end - m_cur) < size)
            Fill(size);
    }
    void FlushBuffer();
    void WriteOut(const uint8_t* data, std::size_t size);
    void Fill(std::size_t size);
    void ReadStringSlow(std::string& text);
    static void AssignString(std::string& text, const char* bytes, std::size_t size) {
        if (text.capacity() < size)
            // Made at its exact size: assigning would round a name of 16 to 30 bytes up to 31,
            // one size class of the allocator more for most names of a tree.
            text = std::string(bytes, size);
        else
            text.assign(bytes, size);
    }
    std::size_t ReadIn(uint8_t* data, std::size_t size);
    uint64_t SourceLeft() const;
    uint32_t TakeStoreIndex();
    void AddLoadEntry();
    [[noreturn]] void ThrowFileError(int error) const;

    Mode m_mode;
    int m_fd = -1;
    std::string m_strFileName;
    std::string* m_pSink = nullptr;
    std::unique_ptr<uint8_t[]> m_buffer;
    std::size_t m_nBufferSize = 0;
    uint8_t* m_cur = nullptr; // storing: next free byte; loading: next unread byte
    uint8_t* m_end = nullptr; // storing: end of the buffer; loading: end of the bytes read in
    uint64_t m_nFileSize = 0; // loading from a file: its size when last looked at
    uint64_t m_nFileRead = 0; // loading from a file: bytes taken from it so far
    bool m_bClosed = false;

    // Storing: class record to index; objects are numbered but never met twice in a tree, so
    // only the counter records them.
    std::unordered_map<const CClassRecord*, uint32_t> m_storeClasses;
    const CClassRecord* m_pLastClass = nullptr;
    uint32_t m_nLastClassIndex = 0;
    uint32_t m_nNextIndex = 1;

    // Loading: the indices assigned so far (index 0, null, included), and the index of each class
    // description read, in ascending order, with the position + 1 in m_loadClasses of its class.
    // Every other index below the count is an object's.
    uint32_t m_nLoadCount = 1;
    struct LoadedClass {
        uint32_t index;
        uint8_t classId;
    };
    std::vector<LoadedClass> m_loadClassIndices;
    std::vector<const CClassRecord*> m_loadClasses;
};
