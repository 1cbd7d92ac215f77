#pragma once
// A search keyword, lowered once, and the test of one name against it. A name is matched the way
// it is shown (ops/ShownText.h): a name shown as GBK text is lowered with the code page's mapping
// and matched on GBK character boundaries; a name shown as UTF-8 is matched against the UTF-8
// form of the keyword on UTF-8 boundaries.

#include "platform/NameCharset.h"

#include <string>
#include <string_view>

class CSearchKeyword {
public:
    // `typedUtf8` is the text as the user typed it (UTF-8); it is lowered here.
    static CSearchKeyword FromTyped(std::string_view typedUtf8);
    // `narrow` is already in the narrow encoding (bytes of the catalogue); it is lowered here.
    static CSearchKeyword FromNarrow(std::string_view narrow);

    bool IsNewEntries() const { return m_bNewEntries; } // the keyword "#new"
    bool IsEmpty() const { return m_narrow.empty(); }
    const std::string& Narrow() const { return m_narrow; }
    const std::string& Utf8() const { return m_utf8; }

    // The keyword for the names of a site decided as `charset`.
    CSearchKeyword ForSite(NameCharset charset) const {
        CSearchKeyword copy = *this;
        copy.m_charset = charset;
        return copy;
    }

    // True when the lowered `name` holds the keyword starting on a character boundary.
    bool Matches(std::string_view name) const { return Matches(name, m_charset); }
    // The same for a name of a site decided as `charset` (ForSite without the copy).
    bool Matches(std::string_view name, NameCharset charset) const;

private:
    std::string m_narrow; // lowered, narrow encoding
    std::string m_utf8;   // lowered, UTF-8
    bool m_bNewEntries = false;
    bool m_bAsciiOnly = true;
    NameCharset m_charset = NameCharset::Undecided; // of the site whose names are tested
};
