#include "ops/TextCase.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace {

constexpr auto MakeAsciiLower() {
    struct Table {
        uint8_t v[256];
    } t{};
    for (int i = 0; i < 256; ++i)
        t.v[i] = static_cast<uint8_t>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    return t;
}
constexpr auto kLowerTable = MakeAsciiLower();

// The double-byte capitals of code page 936 that have a lower-case form in it: Roman numerals,
// full-width Latin, Greek and Cyrillic. Each run maps onto a run of the same length.
struct DbcsRun {
    uint16_t first;
    uint16_t lowered;
    uint16_t count;
};
constexpr DbcsRun kDbcsRuns[] = {
    {0xA2F1, 0xA2A1, 10}, // Ⅰ..Ⅹ
    {0xA3C1, 0xA3E1, 26}, // Ａ..Ｚ
    {0xA6A1, 0xA6C1, 24}, // Α..Ω
    {0xA7A1, 0xA7D1, 33}, // А..Я
};

uint16_t LowerDbcs(uint16_t code) {
    for (const DbcsRun& run : kDbcsRuns)
        if (code >= run.first && code < run.first + run.count)
            return static_cast<uint16_t>(run.lowered + (code - run.first));
    return code;
}

locale_t Utf8Locale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

uint32_t LowerCodePoint(uint32_t cp) {
    if (cp < 0x80)
        return kLowerTable.v[cp];
    if (locale_t loc = Utf8Locale())
        return static_cast<uint32_t>(towlower_l(static_cast<wint_t>(cp), loc));
    // Without the locale: Latin-1, Greek, Cyrillic and full-width Latin, the common ones.
    if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) ||
        (cp >= 0x410 && cp <= 0x42F) || (cp >= 0xFF21 && cp <= 0xFF3A))
        return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F)
        return cp + 0x50;
    return cp;
}

void AppendUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

const uint8_t kAsciiLower[256] = {
#define Q(i) kLowerTable.v[i]
#define R(i) Q(i), Q(i + 1), Q(i + 2), Q(i + 3), Q(i + 4), Q(i + 5), Q(i + 6), Q(i + 7)
#define S(i) R(i), R(i + 8), R(i + 16), R(i + 24)
    S(0),   S(32),  S(64), S(96), S(128),
    S(160), S(192), S(224)
#undef S
#undef R
#undef Q
};

void LowerNarrow(std::string_view in, std::string& out) {
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t len = NarrowCharLength(p + i, n - i);
        if (len == 1) {
            out += static_cast<char>(kAsciiLower[p[i]]);
        } else if (len == 2) {
            const uint16_t lowered = LowerDbcs(static_cast<uint16_t>(p[i] << 8 | p[i + 1]));
            out += static_cast<char>(lowered >> 8);
            out += static_cast<char>(lowered & 0xFF);
        } else {
            out.append(reinterpret_cast<const char*>(p + i), len);
        }
        i += len;
    }
}

void LowerUtf8(std::string_view in, std::string& out) {
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            out += static_cast<char>(kAsciiLower[c]);
            ++i;
            continue;
        }
        std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (len > n - i)
            len = n - i;
        if (len == 1) { // not UTF-8 here: keep the byte
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        uint32_t cp = c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (p[i + k] & 0x3F);
        const uint32_t lowered = LowerCodePoint(cp);
        // A non-ASCII letter whose lower form is ASCII (the Kelvin sign) keeps its own form, so
        // that an ASCII keyword never needs the UTF-8 path.
        if (lowered == cp || lowered < 0x80)
            out.append(reinterpret_cast<const char*>(p + i), len);
        else
            AppendUtf8(lowered, out);
        i += len;
    }
}
