#pragma once
// Text from outside (names, server replies, library messages) made safe to show on a terminal or
// to keep in a log, and passwords kept out of what a server says.

#include <cstddef>
#include <string>
#include <string_view>

// Text as it may reach a terminal, on one line, so that no name or reply can move the cursor,
// clear the screen, set the title or the clipboard, or turn the text around it backwards. Tab,
// line feed, carriage return and backslash are written \t, \n, \r and \\; every other C0 control,
// DEL and each C1 control (U+0080..U+009F) as \xNN with its number; a byte that is not part of
// UTF-8 as \xNN with its value; the bidirectional embeddings, overrides and isolates
// (U+202A..U+202E, U+2066..U+2069) as \uNNNN.
std::string EscapedText(std::string_view text);
// The same appended to `out`; text that needs no escaping is copied as one block.
void AppendEscapedText(std::string& out, std::string_view text);
// How many bytes from the start of `text` are copied as they are: printable ASCII but "\\".
std::size_t PlainTextLength(std::string_view text);

// `text` with every form of `secret` a server might give back replaced by `mask`: the bytes as
// they are, in other letter case, and with any of them percent-encoded (%xx in either case; "+"
// for a blank). An empty secret changes nothing.
std::string MaskSecret(std::string_view text, std::string_view secret, std::string_view mask = "***");
