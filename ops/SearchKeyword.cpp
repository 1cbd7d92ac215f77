#include "ops/SearchKeyword.h"

#include "ops/TextCase.h"
#include "platform/TextCodec.h"

#include <cstring>

namespace {

bool HasHighByte(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return true;
    return false;
}

// Compares `len` bytes of a name, lowered on the fly, with lowered ASCII keyword bytes.
inline bool RestMatches(const uint8_t* name, const uint8_t* keyword, std::size_t len) {
    for (std::size_t j = 0; j < len; ++j)
        if (kAsciiLower[name[j]] != keyword[j])
            return false;
    return true;
}

} // namespace

CSearchKeyword CSearchKeyword::FromTyped(std::string_view typedUtf8) {
    if (!IsValidUtf8(typedUtf8))
        return FromNarrow(typedUtf8);
    CSearchKeyword keyword;
    LowerUtf8(typedUtf8, keyword.m_utf8);
    LowerNarrow(Utf8ToNarrow(keyword.m_utf8), keyword.m_narrow);
    keyword.m_bNewEntries = keyword.m_narrow == "#new";
    keyword.m_bAsciiOnly = !HasHighByte(keyword.m_narrow);
    return keyword;
}

CSearchKeyword CSearchKeyword::FromNarrow(std::string_view narrow) {
    CSearchKeyword keyword;
    LowerNarrow(narrow, keyword.m_narrow);
    LowerUtf8(GbkToUtf8(narrow), keyword.m_utf8);
    keyword.m_bNewEntries = keyword.m_narrow == "#new";
    keyword.m_bAsciiOnly = !HasHighByte(keyword.m_narrow);
    return keyword;
}

bool CSearchKeyword::Matches(std::string_view name, NameCharset charset) const {
    const std::size_t m = m_narrow.size();
    if (m == 0)
        return true;
    const auto* s = reinterpret_cast<const uint8_t*>(name.data());
    const std::size_t n = name.size();

    if (!m_bAsciiOnly) {
        if (!HasHighByte(name))
            return false; // a lowered ASCII name holds no non-ASCII keyword
        thread_local std::string lowered;
        lowered.clear();
        if (ReadsAsUtf8(name, charset)) {
            LowerUtf8(name, lowered);
            // A valid UTF-8 keyword never starts with a continuation byte, so every hit in valid
            // UTF-8 starts on a character boundary.
            return lowered.find(m_utf8) != std::string::npos;
        }
        LowerNarrow(name, lowered);
        const auto* l = reinterpret_cast<const uint8_t*>(lowered.data());
        const std::size_t ln = lowered.size();
        for (std::size_t i = 0; i + m <= ln; i += NarrowCharLength(l + i, ln - i))
            if (std::memcmp(l + i, m_narrow.data(), m) == 0)
                return true;
        return false;
    }

    // ASCII keyword: scan for its first byte in either case, lowering only where it may start.
    if (n < m)
        return false;
    const auto* kw = reinterpret_cast<const uint8_t*>(m_narrow.data());
    const uint8_t k0 = kw[0];
    const uint8_t k0Upper = (k0 >= 'a' && k0 <= 'z') ? static_cast<uint8_t>(k0 - 32) : k0;
    const std::size_t last = n - m;
    std::size_t i = 0;
    for (; i <= last; ++i) {
        const uint8_t c = s[i];
        if (c >= 0x80)
            break;
        if ((c == k0 || c == k0Upper) && RestMatches(s + i + 1, kw + 1, m - 1))
            return true;
    }
    if (i > last)
        return false;
    // From the first non-ASCII byte on, the name's encoding decides where characters start.
    if (ReadsAsUtf8(name, charset)) {
        // Bytes of multi-byte UTF-8 characters never equal an ASCII keyword byte.
        for (; i <= last; ++i) {
            const uint8_t c = s[i];
            if ((c == k0 || c == k0Upper) && RestMatches(s + i + 1, kw + 1, m - 1))
                return true;
        }
        return false;
    }
    while (i <= last) {
        const uint8_t c = s[i];
        if (c >= 0x81 && c != 0xFF) {
            // Step over the whole character: its trail byte may look like an ASCII letter.
            i += NarrowCharLength(s + i, n - i);
            continue;
        }
        if ((c == k0 || c == k0Upper) && RestMatches(s + i + 1, kw + 1, m - 1))
            return true;
        ++i;
    }
    return false;
}
