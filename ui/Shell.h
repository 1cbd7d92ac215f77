#pragma once
// The desktop's services: open a URL or a document with the program the system associates with
// it, and put text on the clipboard.

#include <QString>
#include <string>

namespace Shell {

// Opens an ftp:// URL held in narrow bytes. Bytes outside ASCII reach the handler unchanged
// (percent-encoded), so the server receives the names exactly as it listed them.
bool OpenNarrowUrl(const std::string& url);

// Opens a local file with its associated program.
bool OpenLocalFile(const QString& path);

// Puts the narrow text on the clipboard as text, decoded for display.
void CopyNarrowText(const std::string& text);

// The message shown after both copy-path commands.
extern const char* const kCopiedMessage;

}  // namespace Shell
