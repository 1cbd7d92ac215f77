#include "platform/NameCharset.h"

#include "platform/TextCodec.h"

#include <array>
#include <vector>

namespace {

// GB2312 level of each CJK unified ideograph U+4E00..U+9FFF: 1 for the 3755 common characters,
// 2 for the 3008 less common ones, 0 for the rest. Built once from the converter itself, so the
// table needs no data of its own.
constexpr uint32_t kCjkFirst = 0x4E00;
constexpr uint32_t kCjkLast = 0x9FFF;

const std::array<uint8_t, kCjkLast - kCjkFirst + 1>& Gb2312Levels() {
    static const auto table = [] {
        std::array<uint8_t, kCjkLast - kCjkFirst + 1> levels{};
        for (unsigned lead = 0xB0; lead <= 0xF7; ++lead)
            for (unsigned trail = 0xA1; trail <= 0xFE; ++trail) {
                const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                const std::string utf8 = GbkToUtf8(std::string_view(pair, 2));
                if (utf8.size() != 3)
                    continue;
                const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
                const uint32_t cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
                if (cp >= kCjkFirst && cp <= kCjkLast)
                    levels[cp - kCjkFirst] = lead <= 0xD7 ? 1 : 2;
            }
        return levels;
    }();
    return table;
}

bool IsAsciiLetter(uint32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool HasHighByte(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return true;
    return false;
}

// What one character of a reading is, for scoring it and its neighbours.
enum class Kind : uint8_t {
    AsciiLetter,
    AsciiOther,
    Hanzi,    // a CJK ideograph (scored by its GB2312 level)
    CjkOther, // CJK punctuation, full-width forms, kana, hangul, GBK symbols
    Latin,    // Latin-1 and Latin Extended letters
    Greek,
    Cyrillic,
    Junk, // symbols, private use, undecodable bytes
};

struct Char {
    Kind kind;
    int score;
};

bool IsCjk(Kind k) {
    return k == Kind::Hanzi || k == Kind::CjkOther;
}

// A letter of an alphabet counts only within a word of its own script ("café", "Привет"); on its
// own among other non-ASCII characters it is the jumble a misread GBK name makes. Words of three
// letters or more are strong evidence: misread GBK almost never stays in one script that long.
void ScoreLetters(std::vector<Char>& chars) {
    auto sameWord = [](Kind letter, Kind other) {
        return other == letter || (letter == Kind::Latin && other == Kind::AsciiLetter);
    };
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const Kind k = chars[i].kind;
        if (k != Kind::Latin && k != Kind::Greek && k != Kind::Cyrillic)
            continue;
        std::size_t first = i, last = i;
        while (first > 0 && sameWord(k, chars[first - 1].kind))
            --first;
        while (last + 1 < chars.size() && sameWord(k, chars[last + 1].kind))
            ++last;
        const std::size_t length = last - first + 1;
        chars[i].score = length >= 3 ? 3 : length == 2 ? 1 : -2;
    }
}

// A single hanzi glued to Latin letters with no other CJK character beside it is what a UTF-8
// accented letter looks like when read as GBK ("café" as "caf悛"): it earns nothing.
void ScoreLoneHanzi(std::vector<Char>& chars) {
    for (std::size_t i = 0; i < chars.size(); ++i) {
        if (chars[i].kind != Kind::Hanzi || chars[i].score <= 0)
            continue;
        const bool cjkBefore = i > 0 && IsCjk(chars[i - 1].kind);
        const bool cjkAfter = i + 1 < chars.size() && IsCjk(chars[i + 1].kind);
        const bool letterBefore = i > 0 && chars[i - 1].kind == Kind::AsciiLetter;
        const bool letterAfter = i + 1 < chars.size() && chars[i + 1].kind == Kind::AsciiLetter;
        if (!cjkBefore && !cjkAfter && (letterBefore || letterAfter))
            chars[i].score = 0;
    }
}

int Sum(const std::vector<Char>& chars) {
    int total = 0;
    for (const Char& c : chars)
        total += c.score;
    return total;
}

Char ClassifyCodePoint(uint32_t cp) {
    if (cp < 0x80)
        return {IsAsciiLetter(cp) ? Kind::AsciiLetter : Kind::AsciiOther, 0};
    if (cp >= kCjkFirst && cp <= kCjkLast) {
        const uint8_t level = Gb2312Levels()[cp - kCjkFirst];
        return {Kind::Hanzi, level == 1 ? 3 : level == 2 ? 1 : -1};
    }
    if ((cp >= 0x3000 && cp <= 0x30FF) || (cp >= 0xFF01 && cp <= 0xFFEF) || (cp >= 0xAC00 && cp <= 0xD7A3))
        return {Kind::CjkOther, 1};
    if ((cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) || (cp >= 0x1E00 && cp <= 0x1EFF))
        return {Kind::Latin, 0};
    if (cp >= 0x370 && cp <= 0x3FF)
        return {Kind::Greek, 0};
    if (cp >= 0x400 && cp <= 0x4FF)
        return {Kind::Cyrillic, 0};
    if (cp >= 0xE000 && cp <= 0xF8FF)
        return {Kind::Junk, -3};
    return {Kind::Junk, -2};
}

// GBK two-byte code by region: GB2312 hanzi, GB2312 symbols, the GBK extensions, user-defined.
Char ClassifyGbkPair(unsigned lead, unsigned trail) {
    if (trail >= 0xA1 && trail <= 0xFE) {
        if (lead >= 0xB0 && lead <= 0xD7)
            return {Kind::Hanzi, 3};
        if (lead >= 0xD8 && lead <= 0xF7)
            return {Kind::Hanzi, 1};
        if (lead >= 0xA1 && lead <= 0xA9)
            return {Kind::CjkOther, 0};
        return {Kind::Junk, -3}; // AA-AF, F8-FE: user-defined
    }
    if (lead >= 0xA1 && lead <= 0xA7)
        return {Kind::Junk, -3}; // user-defined below the symbol rows
    return {Kind::Hanzi, -1};    // GBK/3, GBK/4, GBK/5: rare characters
}

} // namespace

int Utf8ReadingScore(std::string_view text) {
    thread_local std::vector<Char> chars;
    chars.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        uint32_t cp = *p;
        int extra = 0;
        if (cp >= 0xF0) {
            cp &= 0x07;
            extra = 3;
        } else if (cp >= 0xE0) {
            cp &= 0x0F;
            extra = 2;
        } else if (cp >= 0xC0) {
            cp &= 0x1F;
            extra = 1;
        }
        ++p;
        for (int i = 0; i < extra && p < end; ++i, ++p)
            cp = (cp << 6) | (*p & 0x3Fu);
        chars.push_back(ClassifyCodePoint(cp));
    }
    ScoreLetters(chars);
    return Sum(chars);
}

int GbkReadingScore(std::string_view bytes) {
    thread_local std::vector<Char> chars;
    chars.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c < 0x80) {
            chars.push_back({IsAsciiLetter(c) ? Kind::AsciiLetter : Kind::AsciiOther, 0});
            ++i;
            continue;
        }
        if (c == 0x80 || c == 0xFF || i + 1 >= n) {
            chars.push_back({Kind::Junk, -3});
            ++i;
            continue;
        }
        const unsigned t = p[i + 1];
        if (t >= 0x30 && t <= 0x39) {
            // A GB18030 four-byte sequence: never the text of a Chinese GBK server.
            chars.push_back({Kind::Junk, -3});
            i += (i + 3 < n) ? 4 : 1;
            continue;
        }
        if (t < 0x40 || t == 0x7F || t == 0xFF) {
            chars.push_back({Kind::Junk, -3});
            ++i;
            continue;
        }
        chars.push_back(ClassifyGbkPair(c, t));
        i += 2;
    }
    ScoreLoneHanzi(chars);
    return Sum(chars);
}

bool ReadsAsUtf8(std::string_view name, NameCharset site) {
    if (!HasHighByte(name))
        return true;
    if (!IsValidUtf8(name))
        return false;
    switch (site) {
    case NameCharset::Utf8:
        return true;
    case NameCharset::Gbk:
        // An upload in UTF-8 on a GBK server: only when it reads clearly better so.
        return Utf8ReadingScore(name) > GbkReadingScore(name);
    case NameCharset::Undecided:
        break;
    }
    return Utf8ReadingScore(name) >= GbkReadingScore(name);
}

std::string ServerNameToUtf8(std::string_view name, NameCharset site) {
    if (ReadsAsUtf8(name, site))
        return std::string(name);
    return GbkToUtf8(name);
}

// Evidence, in order of weight:
// - A name that is not valid UTF-8 cannot be UTF-8; GBK names almost never are all valid UTF-8.
//   A few such names among very many valid ones are strays on a UTF-8 server, though.
// - Valid UTF-8 with many multi-byte characters: a GBK site passes that test by chance with a
//   probability of about 7^-n for n such characters, so eight settle it.
// - Fewer than that: the total plausibility of both readings.
void CNameEvidence::Add(std::string_view name) {
    if (!HasHighByte(name))
        return;
    if (!IsValidUtf8(name)) {
        ++m_invalidNames;
        return;
    }
    ++m_utf8Names;
    if (m_utf8Sequences >= kSettlingSequences)
        return; // scores no longer count
    for (unsigned char c : name)
        if (c >= 0xC0)
            ++m_utf8Sequences;
    m_utf8Score += Utf8ReadingScore(name);
    m_gbkScore += GbkReadingScore(name);
}

NameCharset CNameEvidence::Decide() const {
    if (m_invalidNames > 0)
        return m_utf8Names >= kStrayRatio * m_invalidNames ? NameCharset::Utf8 : NameCharset::Gbk;
    if (m_utf8Names == 0)
        return NameCharset::Undecided;
    if (m_utf8Sequences >= kSettlingSequences)
        return NameCharset::Utf8;
    if (m_utf8Score > m_gbkScore)
        return NameCharset::Utf8;
    if (m_gbkScore > m_utf8Score)
        return NameCharset::Gbk;
    return NameCharset::Undecided;
}
