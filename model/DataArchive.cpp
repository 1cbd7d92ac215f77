#include "model/DataArchive.h"

#include "model/Records.h"
#include "platform/Descriptor.h"
#include "platform/TextCodec.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::size_t kMinBufferSize = 16; // room for the largest single value
// What a load from a file reads at a time unless the caller asks for a size of its own: a few
// kilobytes cost a system call per hundred entries, and this much for the life of one load is
// nothing beside the tree it makes.
constexpr std::size_t kLoadBufferSize = std::size_t{1} << 18;
constexpr std::size_t kMaxClassNameLength = 64;
} // namespace

CDataArchive::CDataArchive(int fd, Mode mode, std::string fileName, std::size_t bufferSize)
    : m_mode(mode), m_fd(fd), m_strFileName(std::move(fileName)),
      m_nBufferSize(mode == load && bufferSize == kDefaultBufferSize ? kLoadBufferSize
                                                                     : std::max(bufferSize, kMinBufferSize)) {
    m_buffer = std::make_unique<uint8_t[]>(m_nBufferSize);
    if (mode == store) {
        m_cur = m_buffer.get();
        m_end = m_cur + m_nBufferSize;
    } else {
        m_cur = m_end = m_buffer.get();
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            m_nFileSize = static_cast<uint64_t>(st.st_size);
            // Reading starts where the descriptor stands; what lies before it is not ours.
            const off_t position = lseek(fd, 0, SEEK_CUR);
            if (position > 0)
                m_nFileRead = static_cast<uint64_t>(position);
        } else {
            m_nFileSize = UINT64_MAX; // a pipe or device: no size to check lengths against
        }
    }
}

CDataArchive::CDataArchive(const void* data, std::size_t size) : m_mode(load) {
    m_cur = const_cast<uint8_t*>(static_cast<const uint8_t*>(data));
    m_end = m_cur + size;
}

CDataArchive::CDataArchive(std::string* sink, std::size_t bufferSize)
    : m_mode(store), m_pSink(sink), m_nBufferSize(std::max(bufferSize, kMinBufferSize)) {
    m_buffer = std::make_unique<uint8_t[]>(m_nBufferSize);
    m_cur = m_buffer.get();
    m_end = m_cur + m_nBufferSize;
}

CDataArchive::~CDataArchive() {
    if (m_mode == store && !m_bClosed) {
        try {
            FlushBuffer();
        } catch (...) {
        }
    }
}

void CDataArchive::Close() {
    if (m_bClosed)
        return;
    if (m_mode == store)
        FlushBuffer();
    m_bClosed = true;
}

void CDataArchive::ThrowFileError(int error) const {
    throw CFileException::FromErrno(error, m_strFileName);
}

// ---- storing

void CDataArchive::WriteOut(const uint8_t* data, std::size_t size) {
    if (m_pSink) {
        m_pSink->append(reinterpret_cast<const char*>(data), size);
        return;
    }
    if (!WriteAll(m_fd, data, size))
        ThrowFileError(errno);
}

void CDataArchive::FlushBuffer() {
    const std::size_t used = static_cast<std::size_t>(m_cur - m_buffer.get());
    m_cur = m_buffer.get(); // emptied even if the write fails, so the destructor does not retry
    if (used > 0)
        WriteOut(m_buffer.get(), used);
}

void CDataArchive::WriteBytes(const void* data, std::size_t size) {
    if (size == 0)
        return; // an empty name may have no bytes at all to point at
    const auto* bytes = static_cast<const uint8_t*>(data);
    const std::size_t room = static_cast<std::size_t>(m_end - m_cur);
    if (size <= room) {
        std::memcpy(m_cur, bytes, size);
        m_cur += size;
        return;
    }
    std::memcpy(m_cur, bytes, room);
    m_cur += room;
    bytes += room;
    size -= room;
    FlushBuffer();
    if (size >= m_nBufferSize) {
        WriteOut(bytes, size);
        return;
    }
    std::memcpy(m_cur, bytes, size);
    m_cur += size;
}

void CDataArchive::WriteString(std::string_view text) {
    const uint64_t length = text.size();
    if (length < 0xFF) {
        WriteByte(static_cast<uint8_t>(length));
    } else {
        WriteByte(0xFF);
        if (length < 0xFFFE) {
            WriteWord(static_cast<uint16_t>(length));
        } else {
            WriteWord(0xFFFF);
            if (length < 0xFFFFFFFF) {
                WriteUInt32(static_cast<uint32_t>(length));
            } else {
                WriteUInt32(0xFFFFFFFF);
                WriteUInt64(length);
            }
        }
    }
    WriteBytes(text.data(), text.size());
}

void CDataArchive::WriteCount(std::size_t count) {
    if (count < 0xFFFF) {
        WriteWord(static_cast<uint16_t>(count));
    } else {
        WriteWord(0xFFFF);
        WriteUInt32(static_cast<uint32_t>(count));
    }
}

uint32_t CDataArchive::TakeStoreIndex() {
    if (m_nNextIndex >= kMaxIndex)
        throw CArchiveException(CArchiveException::badIndex);
    return m_nNextIndex++;
}

void CDataArchive::WriteObjectTag(const CClassRecord& record) {
    uint32_t classIndex;
    if (&record == m_pLastClass) {
        classIndex = m_nLastClassIndex;
    } else {
        auto found = m_storeClasses.find(&record);
        if (found == m_storeClasses.end()) {
            const std::size_t nameLength = std::strlen(record.m_lpszClassName);
            WriteWord(0xFFFF);
            WriteWord(record.m_wSchema);
            WriteWord(static_cast<uint16_t>(nameLength));
            WriteBytes(record.m_lpszClassName, nameLength);
            const uint32_t index = TakeStoreIndex();
            m_storeClasses.emplace(&record, index);
            m_pLastClass = &record;
            m_nLastClassIndex = index;
            TakeStoreIndex(); // the object itself
            return;
        }
        classIndex = found->second;
        m_pLastClass = &record;
        m_nLastClassIndex = classIndex;
    }
    if (classIndex < 0x7FFF) {
        WriteWord(static_cast<uint16_t>(0x8000 | classIndex));
    } else {
        WriteWord(0x7FFF);
        WriteUInt32(0x80000000u | classIndex);
    }
    TakeStoreIndex();
}

void CDataArchive::WriteObject(CObject& object) {
    WriteObjectTag(*object.GetClassRecord());
    object.Persist(*this);
}

// ---- loading

uint64_t CDataArchive::SourceLeft() const {
    if (m_fd < 0)
        return 0;
    return m_nFileSize > m_nFileRead ? m_nFileSize - m_nFileRead : 0;
}

bool CDataArchive::HasBytes(uint64_t size) {
    const uint64_t buffered = static_cast<uint64_t>(m_end - m_cur);
    if (buffered >= size || buffered + SourceLeft() >= size)
        return true;
    if (m_fd < 0)
        return false;
    // The file may have grown since it was opened: look once more before giving up.
    struct stat st {};
    if (fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode))
        m_nFileSize = static_cast<uint64_t>(st.st_size);
    return buffered + SourceLeft() >= size;
}

std::size_t CDataArchive::ReadIn(uint8_t* data, std::size_t size) {
    std::size_t total = 0;
    if (!ReadFull(m_fd, data, size, total))
        ThrowFileError(errno);
    m_nFileRead += total;
    return total;
}

void CDataArchive::Fill(std::size_t size) {
    if (m_fd < 0 || !m_buffer)
        throw CArchiveException(CArchiveException::endOfFile);
    const std::size_t kept = static_cast<std::size_t>(m_end - m_cur);
    std::memmove(m_buffer.get(), m_cur, kept);
    m_cur = m_buffer.get();
    m_end = m_cur + kept;
    // Fill the whole buffer if the file has that much, at least `size` bytes.
    const std::size_t got = ReadIn(m_end, m_nBufferSize - kept);
    m_end += got;
    if (static_cast<std::size_t>(m_end - m_cur) < size)
        throw CArchiveException(CArchiveException::endOfFile);
}

void CDataArchive::ReadBytes(void* data, std::size_t size) {
    auto* out = static_cast<uint8_t*>(data);
    const std::size_t buffered = static_cast<std::size_t>(m_end - m_cur);
    if (size <= buffered) {
        std::memcpy(out, m_cur, size);
        m_cur += size;
        return;
    }
    std::memcpy(out, m_cur, buffered);
    m_cur += buffered;
    out += buffered;
    size -= buffered;
    if (m_fd < 0)
        throw CArchiveException(CArchiveException::endOfFile);
    if (size >= m_nBufferSize) {
        if (ReadIn(out, size) < size)
            throw CArchiveException(CArchiveException::endOfFile);
        return;
    }
    Fill(size);
    std::memcpy(out, m_cur, size);
    m_cur += size;
}

void CDataArchive::ReadStringSlow(std::string& text) {
    uint64_t length;
    bool wide = false;
    uint8_t first = ReadByte();
    if (first != 0xFF) {
        length = first;
    } else {
        uint16_t word = ReadWord();
        bool haveLength = false;
        if (word == 0xFFFE) {
            wide = true;
            first = ReadByte();
            if (first != 0xFF) {
                length = first;
                haveLength = true;
            } else {
                word = ReadWord();
            }
        }
        if (!haveLength) {
            if (word != 0xFFFF) {
                length = word;
            } else {
                const uint32_t dword = ReadUInt32();
                if (dword != 0xFFFFFFFF) {
                    length = dword;
                } else {
                    const uint64_t qword = ReadUInt64();
                    if (qword > 0x7FFFFFFF)
                        throw CArchiveException(CArchiveException::generic);
                    length = qword;
                }
            }
        }
    }
    const uint64_t byteCount = wide ? length * 2 : length;
    // Checked before anything is allocated, so a huge length in a small file costs nothing.
    if (!HasBytes(byteCount))
        throw CArchiveException(CArchiveException::endOfFile);
    const std::size_t size = static_cast<std::size_t>(byteCount);
    if (!wide && size <= static_cast<std::size_t>(m_end - m_cur)) {
        const void* zero = std::memchr(m_cur, 0, size);
        const std::size_t kept =
            zero ? static_cast<std::size_t>(static_cast<const uint8_t*>(zero) - m_cur) : size;
        AssignString(text, reinterpret_cast<const char*>(m_cur), kept);
        m_cur += size;
        return;
    }
    std::string bytes;
    bytes.resize(size);
    ReadBytes(bytes.data(), size);
    if (wide)
        bytes = Utf16LeToNarrow(bytes);
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string::npos)
        bytes.resize(zero);
    text = std::move(bytes);
}

uint32_t CDataArchive::ReadCount() {
    const uint16_t word = ReadWord();
    if (word != 0xFFFF)
        return word;
    return ReadUInt32();
}

void CDataArchive::AddLoadEntry() {
    if (m_nLoadCount >= kMaxIndex)
        throw CArchiveException(CArchiveException::badIndex);
    ++m_nLoadCount;
}

const CClassRecord* CDataArchive::ReadObjectTag() {
    const uint16_t word = ReadWord();
    uint32_t tag;
    if (word == 0x7FFF)
        tag = ReadUInt32();
    else
        tag = (word & 0x7FFFu) | ((word & 0x8000u) ? 0x80000000u : 0u);
    if (!(tag & 0x80000000u))
        throw CArchiveException(CArchiveException::badIndex); // null or object reference

    uint8_t classId;
    if (word == 0xFFFF) {
        const uint16_t schema = ReadWord();
        const uint16_t nameLength = ReadWord();
        if (nameLength >= kMaxClassNameLength || !HasBytes(nameLength))
            throw CArchiveException(CArchiveException::badClass);
        char name[kMaxClassNameLength];
        ReadBytes(name, nameLength);
        const CClassRecord* record = FindClassRecord(name, nameLength);
        if (!record)
            throw CArchiveException(CArchiveException::badClass);
        if (schema != record->m_wSchema)
            throw CArchiveException(CArchiveException::badSchema);
        auto known = std::find(m_loadClasses.begin(), m_loadClasses.end(), record);
        if (known == m_loadClasses.end()) {
            m_loadClasses.push_back(record);
            known = m_loadClasses.end() - 1;
        }
        classId = static_cast<uint8_t>(known - m_loadClasses.begin() + 1);
        const uint32_t index = m_nLoadCount;
        AddLoadEntry();
        m_loadClassIndices.push_back({index, classId});
    } else {
        const uint32_t index = tag & 0x7FFFFFFFu;
        if (index == 0 || index >= m_nLoadCount)
            throw CArchiveException(CArchiveException::badIndex);
        // Files name few classes, each by the index of its one description: look at the last
        // one first, then search.
        const LoadedClass* found = nullptr;
        if (!m_loadClassIndices.empty() && m_loadClassIndices.back().index == index) {
            found = &m_loadClassIndices.back();
        } else {
            auto at = std::lower_bound(
                m_loadClassIndices.begin(), m_loadClassIndices.end(), index,
                [](const LoadedClass& entry, uint32_t wanted) { return entry.index < wanted; });
            if (at != m_loadClassIndices.end() && at->index == index)
                found = &*at;
        }
        if (!found)
            throw CArchiveException(CArchiveException::badIndex); // an object's index, not a class's
        classId = found->classId;
    }
    AddLoadEntry();
    return m_loadClasses[classId - 1];
}

std::unique_ptr<CObject> CDataArchive::ReadObject() {
    const CClassRecord* record = ReadObjectTag();
    std::unique_ptr<CObject> object(record->m_pfnCreateObject());
    object->Persist(*this);
    return object;
}
