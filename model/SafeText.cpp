#include "model/SafeText.h"

#include "platform/TextCodec.h"

#include <cstdint>
#include <cstring>

namespace {

// The length of the UTF-8 sequence starting at `pos`, or 0 when the bytes there are not one.
std::size_t Utf8Length(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t n = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        n = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        n = 4;
    if (n == 0 || text.size() - pos < n || !IsValidUtf8(text.substr(pos, n)))
        return 0;
    return n;
}

// The code point of a bidirectional embedding, override or isolate at `p` (three bytes of valid
// UTF-8), or 0. Shown, such a character would reverse the text after it: "evil\u202Etxt.exe"
// reads as "evilexe.txt".
uint32_t BidiControl(const unsigned char* p) {
    if (p[0] != 0xE2)
        return 0;
    if (p[1] == 0x80 && p[2] >= 0xAA && p[2] <= 0xAE)
        return 0x2000 + (p[2] - 0x80);
    if (p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9)
        return 0x2040 + (p[2] - 0x80);
    return 0;
}

// Bytes that are not copied as they are: controls, DEL, backslash and every non-ASCII byte
// (which is looked at as part of a UTF-8 sequence).
constexpr bool NeedsLook(unsigned char c) {
    return c < 0x20 || c >= 0x7F || c == '\\';
}

struct LookTable {
    bool look[256];
    constexpr LookTable() : look() {
        for (int c = 0; c < 256; ++c)
            look[c] = NeedsLook(static_cast<unsigned char>(c));
    }
};
constexpr LookTable kLook;

constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// How many bytes of `text` from `pos` spell `secret` in one of the forms MaskSecret hides, or 0.
std::size_t SecretLengthAt(std::string_view text, std::size_t pos, std::string_view secret) {
    std::size_t at = pos;
    for (const char wanted : secret) {
        if (at >= text.size())
            return 0;
        const char got = text[at];
        if (got == '%' && at + 2 < text.size()) {
            const int high = HexValue(text[at + 1]), low = HexValue(text[at + 2]);
            if (high >= 0 && low >= 0 && FoldCase(static_cast<char>(high * 16 + low)) == FoldCase(wanted)) {
                at += 3;
                continue;
            }
        }
        if (FoldCase(got) != FoldCase(wanted) && !(got == '+' && wanted == ' '))
            return 0;
        ++at;
    }
    return at - pos;
}

} // namespace

std::size_t PlainTextLength(std::string_view text) {
    // Eight bytes at a time: a word with no byte below 0x20, none of 0x7F or above, and no
    // backslash. Each test may flag a word that is plain after all, never the other way round,
    // and a flagged word is looked at byte by byte.
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word | (word + kOnes)) & kHighs) // a byte of 0x7F or above
            break;
        if (((word - 0x2020202020202020ull) & kHighs) | hasZero(word ^ (kOnes * '\\')))
            break;
    }
    while (i < text.size() && !kLook.look[static_cast<unsigned char>(text[i])])
        ++i;
    return i;
}

void AppendEscapedText(std::string& out, std::string_view text) {
    // Most names are plain printable ASCII: find the first byte that is not and copy up to it.
    std::size_t i = PlainTextLength(text);
    out.append(text.data(), i);
    if (i == text.size())
        return;
    auto escape = [&](unsigned char byte) {
        const char hex[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        out.append(hex, 4);
    };
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (!kLook.look[c]) {
                // A run of plain bytes goes in as one block.
                std::size_t end = i + 1;
                while (end < text.size() && !kLook.look[static_cast<unsigned char>(text[end])])
                    ++end;
                out.append(text.data() + i, end - i);
                i = end;
                continue;
            }
            if (c == '\t')
                out += "\\t";
            else if (c == '\n')
                out += "\\n";
            else if (c == '\r')
                out += "\\r";
            else if (c == '\\')
                out += "\\\\";
            else
                escape(c);
            ++i;
            continue;
        }
        const std::size_t n = Utf8Length(text, i);
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data() + i);
        if (n == 0) {
            escape(c); // not UTF-8: a lone byte could still be a C1 control to some terminals
            ++i;
        } else if (n == 2 && c == 0xC2 && bytes[1] < 0xA0) {
            escape(bytes[1]); // U+0080..U+009F by its number
            i += 2;
        } else if (const uint32_t bidi = n == 3 ? BidiControl(bytes) : 0) {
            const char u[6] = {'\\',
                               'u',
                               kHex[bidi >> 12],
                               kHex[(bidi >> 8) & 0xF],
                               kHex[(bidi >> 4) & 0xF],
                               kHex[bidi & 0xF]};
            out.append(u, 6);
            i += 3;
        } else {
            out.append(text.data() + i, n);
            i += n;
        }
    }
}

std::string EscapedText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscapedText(out, text);
    return out;
}

std::string MaskSecret(std::string_view text, std::string_view secret, std::string_view mask) {
    if (secret.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        if (const std::size_t n = SecretLengthAt(text, pos, secret)) {
            out.append(mask);
            pos += n;
        } else {
            out += text[pos++];
        }
    }
    return out;
}
