#include "platform/FtpListing.h"

#include <array>
#include <cstring>
#include <utility>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

bool AllDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!IsDigit(c))
            return false;
    return true;
}

// Decimal digits to a 64-bit count; false when empty, not all digits or too large.
bool ParseSize(std::string_view s, uint64_t& out) {
    if (!AllDigits(s))
        return false;
    uint64_t value = 0;
    for (char c : s) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

std::string_view StripLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// A name the crawler can store as one path component. CR and LF stay: the line ends decide where
// a name ends, and a name that holds them is stored as listed (it cannot be changed to, which
// the walk finds out for itself).
bool UsableName(std::string_view name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == '\0')
            return false;
    return true;
}

struct Token {
    std::string_view text;
    size_t end; // offset just past the token in the line
};

// Splits off the first `max` blank-separated tokens of a line.
std::vector<Token> Tokens(std::string_view line, size_t max) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (tokens.size() < max) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i >= line.size())
            break;
        size_t start = i;
        while (i < line.size() && !IsBlank(line[i]))
            ++i;
        tokens.push_back({line.substr(start, i - start), i});
    }
    return tokens;
}

bool IsMonth(std::string_view s) {
    static constexpr std::array<const char*, 12> months = {"jan", "feb", "mar", "apr", "may", "jun",
                                                           "jul", "aug", "sep", "oct", "nov", "dec"};
    for (const char* m : months)
        if (EqualsNoCase(s, m))
            return true;
    return false;
}

bool IsDayOfMonth(std::string_view s) {
    if (s.empty() || s.size() > 2 || !AllDigits(s))
        return false;
    int day = s.size() == 1 ? s[0] - '0' : (s[0] - '0') * 10 + (s[1] - '0');
    return day >= 1 && day <= 31;
}

// "8:05", "08:05" or "23:59"
bool IsClock(std::string_view s) {
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || s.size() != colon + 3)
        return false;
    return AllDigits(s.substr(0, colon)) && AllDigits(s.substr(colon + 1));
}

bool IsYear(std::string_view s) {
    return s.size() == 4 && AllDigits(s);
}

// "2024-01-31", as `ls --time-style=long-iso` prints.
bool IsIsoDate(std::string_view s) {
    return s.size() == 10 && s[4] == '-' && s[7] == '-' && AllDigits(s.substr(0, 4)) &&
           AllDigits(s.substr(5, 2)) && AllDigits(s.substr(8, 2));
}

// The mode column: a type letter and nine permission letters, maybe followed by an ACL or
// extended-attribute mark.
bool IsUnixMode(std::string_view s) {
    if (s.size() < 10 || std::strchr("-dlbcpsDn", s[0]) == nullptr)
        return false;
    for (size_t i = 1; i < 10; ++i)
        if (std::strchr("rwxsStTlL-", s[i]) == nullptr)
            return false;
    return s.size() == 10 || (s.size() == 11 && std::strchr("+@.", s[10]) != nullptr);
}

// The name starts after exactly one separator following the date; more blanks belong to it.
std::string_view NameAfter(std::string_view line, size_t dateEnd) {
    if (dateEnd >= line.size() || !IsBlank(line[dateEnd]))
        return {};
    return line.substr(dateEnd + 1);
}

} // namespace

namespace {

// The parsers below take a line without its line end, and keep every byte of it.
bool ParseUnix(std::string_view line, FtpEntry& out) {
    // Enough tokens for: mode links owner group size month day time (the name is not split).
    std::vector<Token> t = Tokens(line, 9);
    if (t.size() < 6 || !IsUnixMode(t[0].text))
        return false;

    // Find the size and date columns: "SIZE Mon DD HH:MM|YYYY" or "SIZE YYYY-MM-DD HH:MM". The
    // owner and group columns vary (some servers leave out the group), so the date anchors it;
    // the usual position (size in column 4) wins over others.
    size_t sizeAt = 0, dateEnd = 0;
    auto dateAt = [&](size_t i) -> size_t {
        if (i + 1 >= t.size() || !AllDigits(t[i].text))
            return 0;
        if (i + 3 < t.size() && IsMonth(t[i + 1].text) && IsDayOfMonth(t[i + 2].text) &&
            (IsClock(t[i + 3].text) || IsYear(t[i + 3].text)))
            return t[i + 3].end;
        if (i + 2 < t.size() && IsIsoDate(t[i + 1].text) && IsClock(t[i + 2].text))
            return t[i + 2].end;
        return 0;
    };
    if ((dateEnd = dateAt(4)) != 0) {
        sizeAt = 4;
    } else {
        for (size_t i = 2; i + 2 < t.size() && dateEnd == 0; ++i) {
            if (i != 4 && (dateEnd = dateAt(i)) != 0)
                sizeAt = i;
        }
    }
    if (dateEnd == 0)
        return false;

    std::string_view name = NameAfter(line, dateEnd);
    const char type = t[0].text[0];
    if (type == 'l') {
        size_t arrow = name.find(" -> ");
        if (arrow != std::string_view::npos)
            name = name.substr(0, arrow);
    }
    if (!UsableName(name))
        return false;
    uint64_t size = 0;
    if (!ParseSize(t[sizeAt].text, size))
        return false;
    out.name.assign(name);
    out.isDir = type == 'd' || type == 'D';
    out.size = out.isDir ? 0 : size;
    return true;
}

bool ParseWindows(std::string_view line, FtpEntry& out) {
    std::vector<Token> t = Tokens(line, 3);
    if (t.size() < 3)
        return false;
    // "MM-DD-YY" or "MM-DD-YYYY"
    std::string_view date = t[0].text;
    if (!((date.size() == 8 || date.size() == 10) && date[2] == '-' && date[5] == '-' &&
          AllDigits(date.substr(0, 2)) && AllDigits(date.substr(3, 2)) && AllDigits(date.substr(6))))
        return false;
    // "HH:MMAM", "HH:MMPM" or a 24-hour "HH:MM"
    std::string_view time = t[1].text;
    if (time.size() == 7) {
        std::string_view half = time.substr(5);
        if (!EqualsNoCase(half, "AM") && !EqualsNoCase(half, "PM"))
            return false;
        time = time.substr(0, 5);
    }
    if (!IsClock(time))
        return false;

    bool isDir = false;
    uint64_t size = 0;
    if (t[2].text == "<DIR>")
        isDir = true;
    else if (!ParseSize(t[2].text, size))
        return false;

    // The server pads the size column; the name follows the padding.
    size_t start = t[2].end;
    while (start < line.size() && IsBlank(line[start]))
        ++start;
    if (start == t[2].end)
        return false;
    std::string_view name = line.substr(start);
    if (!UsableName(name))
        return false;
    out.name.assign(name);
    out.isDir = isDir;
    out.size = isDir ? 0 : size;
    return true;
}

bool ParseList(std::string_view line, FtpEntry& out) {
    return ParseUnix(line, out) || ParseWindows(line, out);
}

} // namespace

bool ParseUnixListLine(std::string_view line, FtpEntry& out) {
    return ParseUnix(StripLineEnd(line), out);
}

bool ParseWindowsListLine(std::string_view line, FtpEntry& out) {
    return ParseWindows(StripLineEnd(line), out);
}

bool ParseListLine(std::string_view line, FtpEntry& out) {
    return ParseList(StripLineEnd(line), out);
}

namespace {

enum class MlsdKind { Entry, ThisDir, Other };

// Splits an MLSD line into its facts (each ended by ';') and the name. RFC 3659 puts one space
// between the last ';' and the name; fact values never hold "; " but may hold spaces (pure-ftpd's
// type=OS.unix=slink:../a b.txt), and names may hold anything but CR and LF, so the first "; "
// ends the facts. A line without facts begins with the space; a server that leaves out the last
// ';' is read up to the first space.
bool SplitMlsdLine(std::string_view line, std::string_view& facts, std::string_view& name) {
    size_t end = line.find("; ");
    if (end != std::string_view::npos) {
        facts = line.substr(0, end + 1);
        name = line.substr(end + 2);
        return true;
    }
    size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return false;
    facts = line.substr(0, space);
    name = line.substr(space + 1);
    return true;
}

// One MLSD line: an entry of the directory, the directory itself (cdir, for its unique fact), or
// anything else (pdir, lines that are not fact lists, unusable names).
MlsdKind ParseMlsd(std::string_view line, FtpEntry& out) {
    std::string_view facts, name;
    if (!SplitMlsdLine(line, facts, name))
        return MlsdKind::Other;

    enum { Unknown, Dir, File, ThisDir, Skip } kind = Unknown;
    bool haveSize = false;
    uint64_t size = 0;
    std::string_view unique;
    while (!facts.empty()) {
        size_t semi = facts.find(';');
        std::string_view fact = facts.substr(0, semi);
        facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
        if (fact.empty())
            continue;
        size_t eq = fact.find('=');
        if (eq == std::string_view::npos || eq == 0)
            return MlsdKind::Other; // not a fact list at all
        std::string_view key = fact.substr(0, eq);
        if (key.find(' ') != std::string_view::npos)
            return MlsdKind::Other;
        std::string_view value = fact.substr(eq + 1);
        if (EqualsNoCase(key, "type")) {
            if (EqualsNoCase(value, "dir"))
                kind = Dir;
            else if (EqualsNoCase(value, "file"))
                kind = File;
            else if (EqualsNoCase(value, "cdir"))
                kind = ThisDir;
            else if (EqualsNoCase(value, "pdir"))
                kind = Skip;
            else if (value.size() > 3 && EqualsNoCase(value.substr(0, 3), "os."))
                kind = File; // OS.unix=symlink, OS.unix=slink:..., devices: not directories
            else
                return MlsdKind::Other;
        } else if (EqualsNoCase(key, "size")) {
            if (!ParseSize(value, size))
                return MlsdKind::Other;
            haveSize = true;
        } else if (EqualsNoCase(key, "unique")) {
            unique = value;
        }
    }
    if (kind == ThisDir) {
        out.id.assign(unique);
        return MlsdKind::ThisDir;
    }
    if (kind == Unknown || kind == Skip || !UsableName(name))
        return MlsdKind::Other;
    out.name.assign(name);
    out.isDir = kind == Dir;
    out.size = (out.isDir || !haveSize) ? 0 : size;
    out.id.assign(unique);
    return MlsdKind::Entry;
}

} // namespace

bool ParseMlsdLine(std::string_view line, FtpEntry& out) {
    FtpEntry entry;
    if (ParseMlsd(StripLineEnd(line), entry) != MlsdKind::Entry)
        return false;
    out = std::move(entry);
    return true;
}

// The first LF decides the listing's line end: CRLF when a CR comes before it, else LF alone.
// From then on only that ends a line, so a CR (and, in a CRLF listing, an LF) inside a name
// stays in it.
void CListingParser::Feed(std::string_view bytes) {
    size_t from = 0; // the start of the line being read, in `bytes`
    for (size_t pos = 0; (pos = bytes.find('\n', pos)) != std::string_view::npos; ++pos) {
        char before = '\0';
        if (pos > from)
            before = bytes[pos - 1];
        else if (!m_partial.empty())
            before = m_partial.back();
        if (m_ending == LineEnd::Unknown)
            m_ending = before == '\r' ? LineEnd::CrLf : LineEnd::Lf;
        if (m_ending == LineEnd::CrLf && before != '\r')
            continue; // an LF inside a name
        std::string_view line = bytes.substr(from, pos - from);
        if (!m_partial.empty()) {
            m_partial.append(line);
            line = m_partial;
        }
        if (m_ending == LineEnd::CrLf)
            line.remove_suffix(1);
        ParseLine(line);
        m_partial.clear();
        from = pos + 1;
    }
    m_partial.append(bytes.substr(from));
}

void CListingParser::Finish() {
    // A last line without its line end; a CR alone at the very end is taken for a line end
    // that lost its LF, unless the listing's lines end in LF alone.
    std::string_view line = m_partial;
    if (m_ending != LineEnd::Lf && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (!line.empty())
        ParseLine(line);
    if (m_hasPending)
        Take(m_pending);
    m_hasPending = false;
    m_pending.clear();
    m_partial.clear();
    m_partial.shrink_to_fit();
}

bool CListingParser::IsEntry(std::string_view line) const {
    FtpEntry entry;
    return m_mlsd ? ParseMlsd(line, entry) == MlsdKind::Entry : ParseList(line, entry);
}

void CListingParser::ParseLine(std::string_view line) {
    if (!m_rejoin) {
        Take(line);
        return;
    }
    const bool entry = IsEntry(line);
    if (m_hasPending && !entry) {
        m_pending += '\r';
        m_pending.append(line);
        ++m_joins;
        return;
    }
    if (m_hasPending)
        Take(m_pending);
    m_hasPending = entry;
    if (entry)
        m_pending.assign(line);
    else
        Take(line);
}

void CListingParser::Take(std::string_view line) {
    FtpEntry entry;
    if (!m_mlsd) {
        if (ParseList(line, entry))
            m_entries.push_back(std::move(entry));
        return;
    }
    switch (ParseMlsd(line, entry)) {
    case MlsdKind::Entry:
        m_entries.push_back(std::move(entry));
        break;
    case MlsdKind::ThisDir:
        m_dirId = std::move(entry.id);
        break;
    case MlsdKind::Other:
        break;
    }
}

std::vector<FtpEntry> ParseListing(std::string_view body, bool mlsd, std::string* dirId) {
    CListingParser parser(mlsd);
    parser.Feed(body);
    parser.Finish();
    if (dirId)
        *dirId = parser.DirId();
    return parser.TakeEntries();
}

namespace {

// How servers word a listing they cut short, searched in the final reply. pure-ftpd says
// "Output truncated to N matches" (after a "226-Options: -l" line for LIST); its Chinese
// catalogues say 输出截短到 / 輸出截短到, sent in UTF-8 or in the server's GBK or Big5. Any
// other English "truncated" in a successful listing's reply means the same. Taking a complete
// listing for a cut one only keeps stale entries a run longer; the other way round removes
// entries that still exist.
struct TruncatedWording {
    std::string_view text;
    bool anyCase;
};
constexpr TruncatedWording kTruncatedWordings[] = {
    {"truncated", true},
    {"\xe8\xbe\x93\xe5\x87\xba\xe6\x88\xaa\xe7\x9f\xad", false}, // 输出截短, UTF-8
    {"\xca\xe4\xb3\xf6\xbd\xd8\xb6\xcc", false},                 // 输出截短, GBK
    {"\xe8\xbc\xb8\xe5\x87\xba\xe6\x88\xaa\xe7\x9f\xad", false}, // 輸出截短, UTF-8
    {"\xbf\xe9\xa5\x58\xba\x49\xb5\x75", false},                 // 輸出截短, Big5
};

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.size() > haystack.size())
        return false;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        if (EqualsNoCase(haystack.substr(i, needle.size()), needle))
            return true;
    return false;
}

} // namespace

bool IsTruncatedListingReply(std::string_view reply) {
    for (const TruncatedWording& wording : kTruncatedWordings) {
        if (wording.anyCase ? ContainsNoCase(reply, wording.text)
                            : reply.find(wording.text) != std::string_view::npos)
            return true;
    }
    return false;
}

std::string MlstOptsCommand(std::string_view featLine) {
    while (!featLine.empty() && IsBlank(featLine.front()))
        featLine.remove_prefix(1);
    featLine = StripLineEnd(featLine);
    if (featLine.size() < 5 || !EqualsNoCase(featLine.substr(0, 4), "MLST") || !IsBlank(featLine[4]))
        return {};
    // "fact*;" is on by default, "fact;" offered but off.
    std::string_view facts = featLine.substr(5);
    bool uniqueOff = false;
    while (!facts.empty()) {
        size_t semi = facts.find(';');
        std::string_view fact = facts.substr(0, semi);
        facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
        while (!fact.empty() && IsBlank(fact.front()))
            fact.remove_prefix(1);
        if (EqualsNoCase(fact, "unique"))
            uniqueOff = true;
        else if (EqualsNoCase(fact, "unique*"))
            return {};
    }
    // The fact list replaces the one in force: keep the facts the walk reads.
    return uniqueOff ? "OPTS MLST type;size;unique;" : std::string();
}
