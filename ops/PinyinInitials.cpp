#include "ops/PinyinInitials.h"

#include "ops/TextCase.h"
#include "platform/TextCodec.h"

#include <array>

namespace {

constexpr uint16_t kFirstLevelEnd = 0xD7F9; // the last character of the first level

// The first code of each initial's run in the first level (no syllable starts with i, u or v).
struct InitialRun {
    uint16_t first;
    char initial;
};
constexpr InitialRun kRuns[] = {
    {0xB0A1, 'a'}, {0xB0C5, 'b'}, {0xB2C1, 'c'}, {0xB4EE, 'd'}, {0xB6EA, 'e'}, {0xB7A2, 'f'},
    {0xB8C1, 'g'}, {0xB9FE, 'h'}, {0xBBF7, 'j'}, {0xBFA6, 'k'}, {0xC0AC, 'l'}, {0xC2E8, 'm'},
    {0xC4C3, 'n'}, {0xC5B6, 'o'}, {0xC5BE, 'p'}, {0xC6DA, 'q'}, {0xC8BB, 'r'}, {0xC8F6, 's'},
    {0xCBFA, 't'}, {0xCDDA, 'w'}, {0xCEF4, 'x'}, {0xD1B9, 'y'}, {0xD4D1, 'z'},
};

constexpr uint32_t kCjkFirst = 0x4E00;
constexpr uint32_t kCjkLast = 0x9FFF;

// The same initials by code point, made once from the GBK table through the program's codec.
const std::array<char, kCjkLast - kCjkFirst + 1>& UnicodeInitials() {
    static const auto table = [] {
        std::array<char, kCjkLast - kCjkFirst + 1> t{};
        for (unsigned lead = 0xB0; lead <= 0xD7; ++lead) {
            for (unsigned trail = 0xA1; trail <= 0xFE; ++trail) {
                const char initial =
                    PinyinInitialOfGbk(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail));
                if (!initial)
                    continue;
                const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                const std::string utf8 = GbkToUtf8(std::string_view(bytes, 2));
                if (utf8.size() != 3)
                    continue;
                const uint32_t cp = (uint32_t(uint8_t(utf8[0])) & 0x0F) << 12 |
                                    (uint32_t(uint8_t(utf8[1])) & 0x3F) << 6 |
                                    (uint32_t(uint8_t(utf8[2])) & 0x3F);
                if (cp >= kCjkFirst && cp <= kCjkLast)
                    t[cp - kCjkFirst] = initial;
            }
        }
        return t;
    }();
    return table;
}

constexpr char kNoInitial = '\x01';

} // namespace

char PinyinInitialOfGbk(uint8_t lead, uint8_t trail) {
    const uint16_t code = static_cast<uint16_t>(lead << 8 | trail);
    if (code < kRuns[0].first || code > kFirstLevelEnd || trail < 0xA1 || trail > 0xFE)
        return 0;
    char initial = 0;
    for (const InitialRun& run : kRuns) {
        if (code < run.first)
            break;
        initial = run.initial;
    }
    return initial;
}

char PinyinInitialOf(uint32_t codePoint) {
    if (codePoint < kCjkFirst || codePoint > kCjkLast)
        return 0;
    return UnicodeInitials()[codePoint - kCjkFirst];
}

void AppendPinyinInitials(std::string_view name, bool utf8, std::string& out) {
    const auto* p = reinterpret_cast<const uint8_t*>(name.data());
    const std::size_t n = name.size();
    std::size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            out += static_cast<char>(kAsciiLower[c]);
            ++i;
            continue;
        }
        if (!utf8) {
            const std::size_t len = NarrowCharLength(p + i, n - i);
            const char initial = len == 2 ? PinyinInitialOfGbk(c, p[i + 1]) : 0;
            out += initial ? initial : kNoInitial;
            i += len;
            continue;
        }
        // Valid UTF-8 (the name reads as UTF-8): a lead byte and its continuation bytes.
        std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (i + len > n)
            len = n - i;
        char initial = 0;
        if (len == 3)
            initial = PinyinInitialOf((uint32_t(c) & 0x0F) << 12 | (uint32_t(p[i + 1]) & 0x3F) << 6 |
                                      (uint32_t(p[i + 2]) & 0x3F));
        out += initial ? initial : kNoInitial;
        i += len;
    }
}
