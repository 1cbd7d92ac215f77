#pragma once
// Output and look-up helpers the commands share.

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

class CQuarnelDoc;
class CFTPSite;
class CFTPDir;
class CFTPFile;
struct FileError;

// Text as it may reach a terminal, on one line (model/SafeText.h has the rule). Every byte of
// output that came from a server, a file or the command line goes through here.
std::string CliField(std::string_view text);
// The same appended to `out`; text that needs no escaping is copied as one block.
void AppendCliField(std::string& out, std::string_view text);
// How many bytes from the start of `text` CliField copies as they are: printable ASCII but "\\".
std::size_t CliPlainLength(std::string_view text);

// The site a key typed on the command line names: the key as given, its narrow form, or a
// site whose key reads the same when shown. Null when there is none.
CFTPSite* CliFindSite(CQuarnelDoc& doc, const std::string& typedKey);

// The same, or null after saying on ctx.err that no site has the key.
struct CliContext;
CFTPSite* CliSiteOrSay(CliContext& ctx, const std::string& typedKey);

// The end of a command that changed the site list: kCliOk, or kCliError after naming site.ds
// and why it could not be written.
int ReportSiteListSaved(CliContext& ctx, bool listSaved);
// kCliOk when `error` names no file, else kCliError after naming the site.conf that could not be
// written and why.
int ReportSettingsSaved(CliContext& ctx, const FileError& error);

// The system's text for an errno value as the CLI words its messages ("permission denied").
std::string CliErrnoText(int error);
// "PATH: permission denied", or "PATH: damaged file: REASON" for one that was read but is damaged;
// terminal-safe.
std::string CliFileErrorText(const FileError& error);
