#pragma once
// A search keyword, lowered once, and the test of one name against it. Names in the narrow
// encoding (GBK/GB18030) are lowered with the code page's mapping and matched on character
// boundaries; names that are valid UTF-8 with non-ASCII bytes are matched against the UTF-8
// form of the keyword on UTF-8 boundaries.

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

    // True when the lowered `name` holds the keyword starting on a character boundary.
    bool Matches(std::string_view name) const;

private:
    std::string m_narrow; // lowered, narrow encoding
    std::string m_utf8;   // lowered, UTF-8
    bool m_bNewEntries = false;
    bool m_bAsciiOnly = true;
};
