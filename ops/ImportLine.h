#pragma once
// One line of an import file: "[ftp://][[user]:password@]host[:port]" and the looser forms
// the importer has always taken (see ParseImportLine).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct ImportedSite {
    std::string host;
    std::string user;
    std::string password;
    int32_t port = 21;
};

// Splits one line (without its line end). False for an empty line, which adds nothing. The
// line is trimmed; a leading "ftp://" (lower case) is dropped; credentials are what comes
// before the last "@" (user before their last ":", password after it; without ":" the user is
// empty and all of it is the password); no "@" means anonymous; the host is what comes before
// the first ":" after that, and the port the number after it (0 when there are no digits).
bool ParseImportLine(std::string_view line, ImportedSite& site);

// The number at the start of `text` as the C library's atoi reads it (leading blanks, a sign,
// digits up to the first other character; 0 without digits), held to the 32-bit range.
int32_t ParsePortNumber(std::string_view text);

// What keeps a host from naming a site. Its key (the host, or host "@" user) names the site's
// directory under Data, and its lock files: one file name, at most kMaxSiteKeyBytes bytes.
enum class HostFault { None, Empty, BadCharacter, KeyTooLong };
inline constexpr std::size_t kMaxSiteKeyBytes = 255;

// The fault of `host` as a person reads it (UTF-8): empty, or holding a blank or a control
// character (C0, DEL, C1, and the Unicode spaces a copied text may bring in).
HostFault CheckHostText(std::string_view host);
// The same for a site about to be stored: its host read as UTF-8 by CheckHostText, then the
// length of its stored key (as GetKey gives it) against kMaxSiteKeyBytes.
HostFault CheckSiteHost(std::string_view shownHost, std::size_t keyBytes);
