#pragma once
// The pinyin initial of a Chinese character, for searching Chinese names by the first letters
// of their syllables ("zgdy" finds 中国电影).
//
// The source is GB2312 itself: its 3,755 characters of the first level are ordered by pinyin, so
// the first code of each initial bounds a run of characters that share it. The 3,008 characters
// of the second level are ordered by radical and have no initial here; neither have characters
// outside GB2312. Polyphonic characters take the reading GB2312 filed them under.

#include <cstdint>
#include <string>
#include <string_view>

// The initial ('a'..'z') of the GBK double-byte character lead:trail, or 0.
char PinyinInitialOfGbk(uint8_t lead, uint8_t trail);
// The initial of a Unicode code point, or 0.
char PinyinInitialOf(uint32_t codePoint);

// Appends to `out` one byte per character of a name: the lowered ASCII character itself, the
// initial of a Chinese character that has one, and 0x01 for any other character. `utf8` tells
// how the name is read (as shown).
void AppendPinyinInitials(std::string_view name, bool utf8, std::string& out);
