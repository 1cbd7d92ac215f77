#pragma once
// The program's narrow encoding. Names from servers are kept byte for byte and read by the rules
// of platform/NameCharset.h; text the user types is stored as GB18030 (a superset of GBK, so
// every character survives) and is always read back as GB18030.

#include <string>
#include <string_view>

bool IsValidUtf8(std::string_view bytes);

// Typed text (UTF-8) to the narrow encoding (GB18030).
std::string Utf8ToNarrow(std::string_view utf8);

// GB18030 (GBK) bytes to UTF-8: every site field the user typed, and names of GBK servers. Never
// fails: undecodable bytes become U+FFFD.
std::string GbkToUtf8(std::string_view bytes);

// Text of unknown encoding from outside (a server's reply, a library's message): valid UTF-8 is
// kept, anything else is read as GB18030. Never for names or typed fields.
std::string NarrowToUtf8(std::string_view bytes);

// UTF-16LE text (2 * units bytes), as a wide string of an archive holds it, to the narrow encoding.
std::string Utf16LeToNarrow(std::string_view utf16le);
