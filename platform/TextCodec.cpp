#include "platform/TextCodec.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";
constexpr char kReplacementGb18030[] = "\x84\x31\xA4\x37"; // U+FFFD

// iconv_t keeps conversion state and must not be shared between threads, so every thread opens
// its own descriptors once and keeps them for its lifetime.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `in`; an input sequence iconv cannot take (undecodable or cut short) becomes
    // `replacement` and the input moves on by `skip` bytes.
    std::string Convert(std::string_view in, std::string_view replacement, std::size_t skip) {
        std::string out;
        if (m_cd == reinterpret_cast<iconv_t>(-1)) {
            // No converter in this C library: keep the bytes rather than lose them.
            out.assign(in);
            return out;
        }
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        out.resize(in.size() * 2 + 16);
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        std::size_t used = 0;
        while (srcLeft > 0) {
            char* dst = out.data() + used;
            std::size_t dstLeft = out.size() - used;
            const std::size_t rc = iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            used = out.size() - dstLeft;
            if (rc != static_cast<std::size_t>(-1))
                break;
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            // EILSEQ or EINVAL: an input sequence that cannot be converted.
            if (out.size() - used < replacement.size())
                out.resize(out.size() * 2 + replacement.size());
            std::memcpy(out.data() + used, replacement.data(), replacement.size());
            used += replacement.size();
            const std::size_t step = skip < srcLeft ? skip : srcLeft;
            src += step;
            srcLeft -= step;
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        // Flush any shift state (none for these encodings, but harmless).
        for (;;) {
            char* dst = out.data() + used;
            std::size_t dstLeft = out.size() - used;
            const std::size_t rc = iconv(m_cd, nullptr, nullptr, &dst, &dstLeft);
            used = out.size() - dstLeft;
            if (rc != static_cast<std::size_t>(-1) || errno != E2BIG)
                break;
            out.resize(out.size() * 2);
        }
        out.resize(used);
        return out;
    }

private:
    iconv_t m_cd;
};

Converter& Utf8ToGb() {
    thread_local Converter converter("GB18030", "UTF-8");
    return converter;
}
Converter& GbToUtf8() {
    thread_local Converter converter("UTF-8", "GB18030");
    return converter;
}
Converter& Utf16ToGb() {
    thread_local Converter converter("GB18030", "UTF-16LE");
    return converter;
}

bool IsAscii(std::string_view bytes) {
    for (unsigned char c : bytes)
        if (c >= 0x80)
            return false;
    return true;
}

} // namespace

bool IsValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += extra + 1;
    }
    return true;
}

std::string Utf8ToNarrow(std::string_view utf8) {
    if (IsAscii(utf8))
        return std::string(utf8);
    return Utf8ToGb().Convert(utf8, "?", 1);
}

std::string GbkToUtf8(std::string_view bytes) {
    if (IsAscii(bytes))
        return std::string(bytes);
    return GbToUtf8().Convert(bytes, kReplacementUtf8, 1);
}

std::string NarrowToUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes))
        return std::string(bytes);
    return GbToUtf8().Convert(bytes, kReplacementUtf8, 1);
}

std::string Utf16LeToNarrow(std::string_view utf16le) {
    std::string_view whole = utf16le.substr(0, utf16le.size() & ~static_cast<std::size_t>(1));
    return Utf16ToGb().Convert(whole, kReplacementGb18030, 2);
}
