#include "ops/SearchQuery.h"

#include "model/Records.h"
#include "ops/PinyinInitials.h"
#include "ops/SearchKeyword.h"
#include "ops/ShownText.h"
#include "ops/TextCase.h"
#include "platform/TextCodec.h"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

struct CSearchQuery::Term {
    enum Kind { New, Type, Size, Ext, Word, Glob, Path, Regex, Site };
    Kind kind = Word;
    bool negate = false;
    CSearchKeyword keyword; // Word
    std::string text;       // lowered UTF-8: the pinyin word, a pattern, a path word, a site
    bool pinyin = false;    // Word: also try the initials of Chinese names
    bool glob = false;      // Path and Site: `text` is a pattern
    bool wantNew = true;    // New
    bool wantDir = false;   // Type
    uint64_t low = 0;       // Size: inclusive bounds
    uint64_t high = std::numeric_limits<uint64_t>::max();
    std::vector<std::string> exts; // Ext: lowered UTF-8, without the dot
    std::shared_ptr<const RE2> re; // Regex
};

namespace {

// What a term needs of one entry, made at most once per entry.
class EntryView {
public:
    EntryView(const QueryEntry& entry, const std::function<std::string()>& location)
        : m_entry(entry), m_location(location) {}

    const QueryEntry& Entry() const { return m_entry; }
    bool HasHighByte() {
        if (m_highByte < 0) {
            m_highByte = 0;
            for (unsigned char c : m_entry.name)
                if (c >= 0x80) {
                    m_highByte = 1;
                    break;
                }
        }
        return m_highByte == 1;
    }
    const std::string& Shown() {
        if (!m_bShown) {
            m_shown =
                HasHighByte() ? ServerNameToUtf8(m_entry.name, m_entry.charset) : std::string(m_entry.name);
            m_bShown = true;
        }
        return m_shown;
    }
    const std::string& Lowered() {
        if (!m_bLowered) {
            LowerUtf8(Shown(), m_lowered);
            m_bLowered = true;
        }
        return m_lowered;
    }
    const std::string& Initials() {
        if (!m_bInitials) {
            AppendPinyinInitials(m_entry.name, ReadsAsUtf8(m_entry.name, m_entry.charset), m_initials);
            m_bInitials = true;
        }
        return m_initials;
    }
    const std::string& Location() {
        if (!m_bLocation) {
            if (m_location)
                LowerUtf8(m_location(), m_loweredLocation);
            m_bLocation = true;
        }
        return m_loweredLocation;
    }

private:
    const QueryEntry& m_entry;
    const std::function<std::string()>& m_location;
    int m_highByte = -1;
    bool m_bShown = false, m_bLowered = false, m_bInitials = false, m_bLocation = false;
    std::string m_shown, m_lowered, m_initials, m_loweredLocation;
};

std::size_t Utf8Length(unsigned char lead) {
    return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Whole-text match of a lowered UTF-8 pattern with '*' (any run) and '?' (one character).
bool GlobMatches(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0;
    std::size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starT = t;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            t += Utf8Length(static_cast<unsigned char>(text[t]));
            continue;
        }
        if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
            continue;
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP; // let the last star take one more character
        starT += Utf8Length(static_cast<unsigned char>(text[starT]));
        t = starT;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool HasWildcard(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
}

std::string Lower(std::string_view utf8) {
    std::string out;
    if (IsValidUtf8(utf8))
        LowerUtf8(utf8, out);
    else
        LowerUtf8(GbkToUtf8(utf8), out);
    return out;
}

// "700M", "1.5g", "123", "2KiB": bytes; false when it does not read as a size.
bool ParseSize(std::string_view text, uint64_t& out) {
    std::size_t i = 0;
    while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.'))
        ++i;
    if (i == 0)
        return false;
    const std::string number(text.substr(0, i));
    if (std::count(number.begin(), number.end(), '.') > 1)
        return false;
    std::string unit;
    for (char c : text.substr(i))
        unit += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    double scale = 1;
    if (!unit.empty()) {
        static const char kUnits[] = "kmgtp";
        const char* u = std::char_traits<char>::find(kUnits, 5, unit[0]);
        std::string_view rest(unit);
        if (u) {
            scale = std::pow(1024.0, double(u - kUnits + 1));
            rest.remove_prefix(1);
            if (rest == "ib")
                rest = "";
        }
        if (rest != "" && rest != "b")
            return false;
    }
    const double value = std::stod(number) * scale;
    if (!(value >= 0) || value >= 18446744073709551615.0)
        return false;
    out = static_cast<uint64_t>(std::llround(value));
    return true;
}

bool ParseSizeTerm(std::string_view value, CSearchQuery::Term& term) {
    const std::size_t dots = value.find("..");
    if (dots != std::string_view::npos) {
        const std::string_view lo = value.substr(0, dots), hi = value.substr(dots + 2);
        if (!lo.empty() && !ParseSize(lo, term.low))
            return false;
        if (!hi.empty() && !ParseSize(hi, term.high))
            return false;
        return !(lo.empty() && hi.empty()) && term.low <= term.high;
    }
    uint64_t size = 0;
    auto starts = [&](std::string_view op) {
        if (value.substr(0, op.size()) != op)
            return false;
        value.remove_prefix(op.size());
        return true;
    };
    if (starts(">=")) {
        if (!ParseSize(value, term.low))
            return false;
    } else if (starts("<=")) {
        if (!ParseSize(value, term.high))
            return false;
    } else if (starts(">")) {
        if (!ParseSize(value, size) || size == std::numeric_limits<uint64_t>::max())
            return false;
        term.low = size + 1;
    } else if (starts("<")) {
        if (!ParseSize(value, size) || size == 0)
            return false;
        term.high = size - 1;
    } else {
        starts("=");
        if (!ParseSize(value, size))
            return false;
        term.low = term.high = size;
    }
    return true;
}

// One blank-separated token; quotes keep blanks inside. `quoted`: the token began with a quote.
struct Token {
    std::string text;
    bool negate = false;
    bool quoted = false;   // the whole term was quoted: a phrase, never a filter or a pattern
    bool anyQuote = false; // some part was quoted (a filter's value): no wildcards
};

bool IsBlankAt(std::string_view s, std::size_t i, std::size_t& len) {
    if (s[i] == ' ' || s[i] == '\t') {
        len = 1;
        return true;
    }
    if (s.substr(i, 3) == "\xE3\x80\x80") { // the ideographic space a Chinese input method types
        len = 3;
        return true;
    }
    return false;
}

std::vector<Token> Tokenize(std::string_view s) {
    std::vector<Token> tokens;
    std::size_t i = 0, blank = 0;
    while (i < s.size()) {
        if (IsBlankAt(s, i, blank)) {
            i += blank;
            continue;
        }
        Token token;
        if (s[i] == '-' && i + 1 < s.size() && !IsBlankAt(s, i + 1, blank)) {
            token.negate = true;
            ++i;
        }
        token.quoted = s[i] == '"';
        bool inQuote = false;
        while (i < s.size() && (inQuote || !IsBlankAt(s, i, blank))) {
            if (s[i] == '"') {
                inQuote = !inQuote;
                token.anyQuote = true;
                ++i;
                continue;
            }
            token.text += s[i++];
        }
        if (!token.text.empty() || token.anyQuote)
            tokens.push_back(std::move(token));
    }
    return tokens;
}

int CostOf(CSearchQuery::Term::Kind kind) {
    return static_cast<int>(kind);
}

} // namespace

CSearchQuery::CSearchQuery() = default;
CSearchQuery::~CSearchQuery() = default;
CSearchQuery::CSearchQuery(CSearchQuery&&) noexcept = default;
CSearchQuery& CSearchQuery::operator=(CSearchQuery&&) noexcept = default;

CSearchQuery CSearchQuery::Parse(std::string_view typedUtf8) {
    CSearchQuery query;
    auto fail = [&](QueryError error, const std::string& term) {
        query.m_terms.clear();
        query.m_siteTerms.clear();
        query.m_error = error;
        query.m_errorTerm = term;
        return std::move(query);
    };
    for (Token& token : Tokenize(typedUtf8)) {
        Term term;
        term.negate = token.negate;
        std::string name, value;
        const std::size_t colon = token.quoted ? std::string::npos : token.text.find(':');
        if (colon != std::string::npos) {
            name = Lower(token.text.substr(0, colon));
            value = token.text.substr(colon + 1);
        }
        if (name == "size") {
            term.kind = Term::Size;
            if (!ParseSizeTerm(value, term))
                return fail(QueryError::BadSize, token.text);
        } else if (name == "type") {
            term.kind = Term::Type;
            const std::string v = Lower(value);
            if (v == "dir" || v == "d" || v == "folder" || v == "目录")
                term.wantDir = true;
            else if (v == "file" || v == "f" || v == "文件")
                term.wantDir = false;
            else
                return fail(QueryError::BadType, token.text);
        } else if (name == "new") {
            term.kind = Term::New;
            const std::string v = Lower(value);
            term.wantNew = !(v == "no" || v == "false" || v == "0");
        } else if (name == "ext") {
            term.kind = Term::Ext;
            std::string v = Lower(value);
            std::size_t start = 0;
            while (start <= v.size()) {
                std::size_t end = v.find(',', start);
                if (end == std::string::npos)
                    end = v.size();
                std::string ext = v.substr(start, end - start);
                if (!ext.empty() && ext.front() == '.')
                    ext.erase(0, 1);
                if (!ext.empty())
                    term.exts.push_back(std::move(ext));
                start = end + 1;
            }
            if (term.exts.empty())
                return fail(QueryError::EmptyFilter, token.text);
        } else if (name == "site" || name == "path") {
            term.kind = name == "site" ? Term::Site : Term::Path;
            term.text = Lower(value);
            term.glob = !token.anyQuote && HasWildcard(term.text);
            if (term.text.empty())
                return fail(QueryError::EmptyFilter, token.text);
        } else if (name == "re") {
            term.kind = Term::Regex;
            if (value.empty())
                return fail(QueryError::EmptyFilter, token.text);
            RE2::Options options;
            options.set_case_sensitive(false);
            options.set_log_errors(false);
            options.set_max_mem(8 << 20);
            auto re = std::make_shared<RE2>(value, options);
            if (!re->ok())
                return fail(QueryError::BadRegex, token.text);
            term.re = std::move(re);
        } else {
            // A word: a pattern when it holds wildcards, else a part of the name (and, when
            // all letters, also the initials of a Chinese name).
            const std::string lowered = Lower(token.text);
            if (!token.anyQuote && HasWildcard(lowered)) {
                term.kind = Term::Glob;
                term.text = lowered;
            } else {
                term.kind = Term::Word;
                term.keyword = CSearchKeyword::FromTyped(token.text);
                term.pinyin =
                    !token.anyQuote && lowered.size() >= 2 &&
                    std::all_of(lowered.begin(), lowered.end(), [](char c) { return c >= 'a' && c <= 'z'; });
                if (term.pinyin)
                    term.text = lowered;
            }
        }
        query.m_bPathTerms = query.m_bPathTerms || term.kind == Term::Path;
        (term.kind == Term::Site ? query.m_siteTerms : query.m_terms).push_back(std::move(term));
    }
    std::stable_sort(query.m_terms.begin(), query.m_terms.end(),
                     [](const Term& a, const Term& b) { return CostOf(a.kind) < CostOf(b.kind); });
    return query;
}

std::string CSearchQuery::ErrorText() const {
    switch (m_error) {
    case QueryError::None:
        return {};
    case QueryError::BadSize:
        return "not a size or a size range: " + m_errorTerm + " (size:>700M, size:<1K, size:1G..4G)";
    case QueryError::BadType:
        return "type must be dir or file: " + m_errorTerm;
    case QueryError::BadRegex:
        return "not a regular expression: " + m_errorTerm;
    case QueryError::EmptyFilter:
        return "a filter without a value: " + m_errorTerm;
    }
    return {};
}

bool CSearchQuery::IsEmpty() const {
    return Ok() && m_terms.empty() && m_siteTerms.empty();
}

bool CSearchQuery::SiteMayMatch(std::string_view key, std::string_view shownNickname) const {
    if (!Ok())
        return false;
    if (m_siteTerms.empty())
        return true;
    const std::string loweredKey = Lower(key), loweredNick = Lower(shownNickname);
    for (const Term& term : m_siteTerms) {
        auto is = [&](const std::string& field) {
            return !field.empty() && (term.glob ? GlobMatches(term.text, field) : field == term.text);
        };
        if ((is(loweredKey) || is(loweredNick)) == term.negate)
            return false;
    }
    return true;
}

bool CSearchQuery::WantsDirs() const {
    if (!Ok())
        return false;
    for (const Term& term : m_terms) {
        if (term.negate)
            continue;
        if ((term.kind == Term::Type && !term.wantDir) || term.kind == Term::Size || term.kind == Term::Ext)
            return false;
    }
    return true;
}

bool CSearchQuery::WantsFiles() const {
    if (!Ok())
        return false;
    for (const Term& term : m_terms)
        if (!term.negate && term.kind == Term::Type && term.wantDir)
            return false;
    return true;
}

namespace {

bool ExtensionIs(const std::string& loweredName, const std::vector<std::string>& exts) {
    const std::size_t dot = loweredName.rfind('.');
    if (dot == std::string::npos)
        return false;
    const std::string_view ext(loweredName.data() + dot + 1, loweredName.size() - dot - 1);
    return std::find(exts.begin(), exts.end(), ext) != exts.end();
}

bool TermHolds(const CSearchQuery::Term& term, EntryView& view) {
    using Term = CSearchQuery::Term;
    const QueryEntry& entry = view.Entry();
    switch (term.kind) {
    case Term::New:
        return entry.isNew == term.wantNew;
    case Term::Type:
        return entry.isDir == term.wantDir;
    case Term::Size:
        return !entry.isDir && entry.size >= term.low && entry.size <= term.high;
    case Term::Ext:
        return !entry.isDir && ExtensionIs(view.Lowered(), term.exts);
    case Term::Word:
        if (term.keyword.Matches(entry.name, entry.charset))
            return true;
        return term.pinyin && view.HasHighByte() && view.Initials().find(term.text) != std::string::npos;
    case Term::Glob:
        return GlobMatches(term.text, view.Lowered());
    case Term::Path:
        return term.glob ? GlobMatches(term.text, view.Location())
                         : view.Location().find(term.text) != std::string::npos;
    case Term::Regex:
        return RE2::PartialMatch(view.Shown(), *term.re);
    case Term::Site:
        return true; // asked once per site
    }
    return false;
}

} // namespace

bool CSearchQuery::Matches(const QueryEntry& entry, const std::function<std::string()>& location) const {
    if (!Ok())
        return false;
    EntryView view(entry, location);
    for (const Term& term : m_terms)
        if (TermHolds(term, view) == term.negate)
            return false;
    return true;
}

bool CSearchQuery::Matches(const CFTPDir* dir, NameCharset charset) const {
    QueryEntry entry{dir->m_strName, charset, true, 0, dir->m_bNew == 1};
    if (!m_bPathTerms) // no location to make: this is the cost of every entry of a search
        return Matches(entry);
    return Matches(entry, [dir] { return ShownLocation(dir); });
}

bool CSearchQuery::Matches(const CFTPFile* file, NameCharset charset) const {
    QueryEntry entry{file->m_strName, charset, false, file->m_nSize, file->m_bNew == 1};
    if (!m_bPathTerms)
        return Matches(entry);
    return Matches(entry, [file] { return ShownLocation(file); });
}
