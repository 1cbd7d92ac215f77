#pragma once
// Lower-casing for search: the narrow code page's mapping (ASCII and the double-byte capitals
// GBK has lower-case forms for) and the UTF-8 one, plus the character steps both scans use.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern const uint8_t kAsciiLower[256];

// Length of the narrow character starting at p (1, 2, or 4 for a GB18030 four-byte sequence),
// never more than `left`.
inline std::size_t NarrowCharLength(const uint8_t* p, std::size_t left) {
    if (p[0] < 0x81 || p[0] == 0xFF || left < 2)
        return 1;
    if (p[1] >= 0x30 && p[1] <= 0x39 && left >= 4 && p[2] >= 0x81 && p[2] <= 0xFE && p[3] >= 0x30 &&
        p[3] <= 0x39)
        return 4;
    return 2;
}

// Appends `in` lowered by the code page's mapping to `out`.
void LowerNarrow(std::string_view in, std::string& out);
// Appends `in` (valid UTF-8) lowered character by character to `out`.
void LowerUtf8(std::string_view in, std::string& out);
