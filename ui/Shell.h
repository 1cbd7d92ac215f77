#pragma once
// The desktop's services: open a URL or a document with the program the system associates with
// it, and put text on the clipboard.

#include <QString>
#include <string>

namespace Shell {

// Opens an exact (percent-encoded, ASCII) URL as made by ExactUrl. It reaches the handler with
// every escape as given, so the server receives the names exactly as it listed them.
bool OpenExactUrl(const std::string& url);

// Opens a local file with its associated program.
bool OpenLocalFile(const QString& path);

// Puts a URL on the clipboard twice: the readable form (UTF-8, as shown) as text/plain, and the
// exact form as text/uri-list for programs that take links.
void CopyUrl(const std::string& readableUtf8, const std::string& exact);

// Puts the exact (percent-encoded) URL on the clipboard, as text/plain and as text/uri-list.
void CopyExactUrl(const std::string& exact);

// The message shown after both copy-path commands.
extern const char* const kCopiedMessage;

} // namespace Shell
