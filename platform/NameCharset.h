#pragma once
// How names from a server are read. A name is stored as the server's bytes; whether those bytes
// are GBK or UTF-8 is decided per site from evidence, and only then, for a name that reads both
// ways, by which reading is more plausible.
//
// Why not "valid UTF-8 wins" per name: about one GB2312 character in seven is also valid UTF-8
// (目录 is C4 BF C2 BC, which UTF-8 reads as "Ŀ¼"), so a GBK site is full of names that pass the
// test. Over many names, though, a GBK site almost surely holds one that is not valid UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class NameCharset : uint8_t {
    Undecided = 0, // no evidence yet: every name is read by plausibility
    Utf8 = 1,
    Gbk = 2,
};

// Plausibility of the two readings of one name: common Chinese text scores high, a jumble of
// Latin-1, Latin Extended, Greek and Cyrillic letters and symbols scores low. ASCII scores 0.
int Utf8ReadingScore(std::string_view validUtf8);
int GbkReadingScore(std::string_view bytes);

// True when `name` is shown (and searched) as UTF-8 on a site decided as `site`.
// ASCII names answer true; names that are not valid UTF-8 answer false.
bool ReadsAsUtf8(std::string_view name, NameCharset site);

// `name` as UTF-8 text for display on a site decided as `site`.
std::string ServerNameToUtf8(std::string_view name, NameCharset site);

// Evidence gathered over the names of one site.
class CNameEvidence {
public:
    void Add(std::string_view name);
    NameCharset Decide() const;

    std::size_t InvalidUtf8Names() const { return m_invalidNames; }
    std::size_t Utf8Names() const { return m_utf8Names; }

    // Multi-byte characters in valid UTF-8 names that make a UTF-8 site without further proof.
    static constexpr std::size_t kSettlingSequences = 8;
    // Valid UTF-8 names must outnumber the invalid ones this many times for the invalid ones to
    // count as strays on a UTF-8 server rather than the sign of a GBK one.
    static constexpr std::size_t kStrayRatio = 20;

private:
    std::size_t m_invalidNames = 0;  // non-ASCII names that are not valid UTF-8
    std::size_t m_utf8Names = 0;     // non-ASCII names that are valid UTF-8
    std::size_t m_utf8Sequences = 0; // multi-byte characters in those names
    long m_utf8Score = 0;            // plausibility of reading them as UTF-8 ...
    long m_gbkScore = 0;             // ... and as GBK
};
