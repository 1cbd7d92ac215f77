#pragma once
// The program's narrow encoding. Names from servers are kept byte for byte; text the user types
// is stored as GB18030 (a superset of GBK, so every character survives); for display, bytes that
// are valid UTF-8 are shown as UTF-8 and anything else is decoded as GB18030.

#include <string>
#include <string_view>

bool IsValidUtf8(std::string_view bytes);

// Typed text (UTF-8) to the narrow encoding (GB18030).
std::string Utf8ToNarrow(std::string_view utf8);

// Stored bytes to UTF-8 for display, by the rule above. Never fails: undecodable bytes
// become U+FFFD.
std::string NarrowToUtf8(std::string_view bytes);

// UTF-16LE text (2 * units bytes), as a wide string of an archive holds it, to the narrow encoding.
std::string Utf16LeToNarrow(std::string_view utf16le);
