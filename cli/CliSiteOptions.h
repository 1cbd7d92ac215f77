#pragma once
// The site options `add` and `edit` share: read from the command line, checked before anything is
// stored, and the password taken from a file or the terminal.

#include "cli/CliOptions.h"
#include "model/SiteSettings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CliContext;

struct CliSiteOptions {
    std::optional<std::string> host; // checked: not empty, no blank or control character
    std::optional<int32_t> port;     // checked: 1..65535
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> passwordFile;
    std::optional<std::string> nickname;
    std::optional<std::string> remark;
    std::optional<NameEncodingChoice> encoding;
    std::optional<SiteProtocol> protocol;
    std::optional<int> connections; // checked: 1..kMaxSiteConnections
    bool anonymous = false;
    bool anonymousUpdate = false;
    std::vector<std::string> operands; // what is not an option, in order
};

// The table of the options add and edit share; add's has --anonymous-update too.
CliOptionTable SiteOptionTable(bool withAnonymousUpdate);

// The site options given. Throws CliUsageError for a bad value and for options that exclude each
// other (--anonymous with --user or a password, --password with --password-file).
CliSiteOptions ParseSiteOptions(const CliArgs& args);

// Throws CliUsageError unless `text` is a port: decimal digits only, 1 to 65535.
int32_t CliPort(const std::string& text);
// Throws CliUsageError for an empty host, one that holds a blank or a control character, and one
// whose key as an anonymous site's would not fit one file name (CheckSiteKey).
void CheckHost(const std::string& host);
// Throws CliUsageError when a site key (stored form) is longer than a file name may be.
void CheckSiteKey(const std::string& storedKey);

// The password the options give: the first line of --password-file, --password, or, when
// `askOnTerminal`, what the user types without echo on a terminal, else the first line of
// standard input. False (the reason said on ctx.err) when it cannot be read, standard input
// included when it ends before any byte; `password` is left alone when none is given.
bool TakePassword(CliContext& ctx, const CliSiteOptions& options, const std::string& prompt,
                  bool askOnTerminal, std::string& password);
