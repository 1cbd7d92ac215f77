#pragma once
// The search language of the search field and `quarnel-cli find`.
//
//   word          every word must match (case-insensitive, anywhere in the name as shown)
//   "a phrase"    matches as one word, blanks included
//   -word         excludes; any term can be negated
//   a*b?c         wildcards: the whole name must match the pattern
//   zgdy          a word of letters also matches the pinyin initials of Chinese names (中国电影)
//   size:>700M  size:<1K  size:1G..4G  size:>=2k  size:123   (files; K M G T are powers of 1024)
//   type:dir  type:file    ext:mkv,avi    new:    site:KEY-or-nickname    path:word
//   re:REGEX      a regular expression on the name as shown (RE2: linear time, case-insensitive)
//
// Parsing and matching know nothing of the window: the window and the command line share them.

#include "platform/NameCharset.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CFTPDir;
class CFTPFile;

enum class QueryError {
    None,
    BadSize,     // a size filter that does not read as a size or a range
    BadType,     // type: other than dir or file
    BadRegex,    // re: that RE2 does not take
    EmptyFilter, // a filter without a value (ext:, site:, path:, re:)
};

// One entry as a query sees it.
struct QueryEntry {
    std::string_view name; // the stored bytes
    NameCharset charset = NameCharset::Undecided;
    bool isDir = false;
    uint64_t size = 0;
    bool isNew = false;
};

class CSearchQuery {
public:
    // `typedUtf8`: the query as typed. On an error the query matches nothing.
    static CSearchQuery Parse(std::string_view typedUtf8);

    CSearchQuery();
    ~CSearchQuery();
    CSearchQuery(CSearchQuery&&) noexcept;
    CSearchQuery& operator=(CSearchQuery&&) noexcept;

    bool Ok() const { return m_error == QueryError::None; }
    QueryError Error() const { return m_error; }
    // The part of the query the error is about, as typed.
    const std::string& ErrorTerm() const { return m_errorTerm; }
    // An English sentence for the command line.
    std::string ErrorText() const;
    // True when the query holds no term at all (a blank field).
    bool IsEmpty() const;

    // Whether entries of a site with this key and shown nickname can match (the site: terms).
    bool SiteMayMatch(std::string_view key, std::string_view shownNickname) const;
    // Whether directories, or files, can match at all (type:, size:, ext:).
    bool WantsDirs() const;
    bool WantsFiles() const;

    // Whether the entry matches every term but the site: ones (ask SiteMayMatch once per site).
    // `location` gives the entry's shown location; it is called only for path: terms.
    bool Matches(const QueryEntry& entry, const std::function<std::string()>& location = {}) const;
    bool Matches(const CFTPDir* dir, NameCharset charset) const;
    bool Matches(const CFTPFile* file, NameCharset charset) const;

    struct Term;

private:
    std::vector<Term> m_terms;     // cheapest first
    std::vector<Term> m_siteTerms; // site: terms
    bool m_bPathTerms = false;     // a path: term asks for entries' locations
    QueryError m_error = QueryError::None;
    std::string m_errorTerm;
};
