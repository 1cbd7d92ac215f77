#include "ops/ImportLine.h"

#include "model/Records.h"

#include <climits>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A character the host cannot hold, at `pos` of UTF-8 text: a C0 or C1 control, DEL, or a
// blank (the ASCII space and the Unicode spaces a keyboard or a copied text may bring in).
// Its length in bytes, or 0 when the character there is fine.
std::size_t BadHostCharacter(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) {
        return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0u;
    };
    const unsigned c = byte(0);
    if (c <= 0x20 || c == 0x7F)
        return 1;
    if (c == 0xC2 && byte(1) <= 0xA0) // U+0080..U+009F, U+00A0
        return 2;
    if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) // U+1680
        return 3;
    if (c == 0xE2 && byte(1) == 0x80 &&
        ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 ||
         byte(2) == 0xAF)) // U+2000..200A, 2028, 2029, 202F
        return 3;
    if (c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) // U+205F
        return 3;
    if (c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80) // U+3000, the ideographic space
        return 3;
    return 0;
}

} // namespace

HostFault CheckHostText(std::string_view host) {
    if (host.empty())
        return HostFault::Empty;
    for (std::size_t i = 0; i < host.size(); ++i)
        if (BadHostCharacter(host, i) != 0)
            return HostFault::BadCharacter;
    return HostFault::None;
}

HostFault CheckSiteHost(std::string_view shownHost, std::size_t keyBytes) {
    const HostFault fault = CheckHostText(shownHost);
    if (fault != HostFault::None)
        return fault;
    return keyBytes > kMaxSiteKeyBytes ? HostFault::KeyTooLong : HostFault::None;
}

int32_t ParsePortNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1; // held, so that long digit runs cannot overflow
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    return static_cast<int32_t>(value);
}

bool ParseImportLine(std::string_view line, ImportedSite& site) {
    if (line.empty())
        return false; // tested before trimming: a line of blanks still counts
    line = Trim(line);
    constexpr std::string_view kScheme = "ftp://";
    if (line.substr(0, kScheme.size()) == kScheme)
        line.remove_prefix(kScheme.size());

    std::string_view rest = line;
    const std::size_t at = line.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view credentials = line.substr(0, at);
        rest = line.substr(at + 1);
        const std::size_t colon = credentials.rfind(':');
        if (colon != std::string_view::npos) {
            site.user.assign(credentials.substr(0, colon));
            site.password.assign(credentials.substr(colon + 1));
        } else {
            site.user.clear();
            site.password.assign(credentials);
        }
    } else {
        site.user = kAnonymousUser;
        site.password = kAnonymousPassword;
    }

    const std::size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
        site.host.assign(rest.substr(0, colon));
        site.port = ParsePortNumber(rest.substr(colon + 1));
    } else {
        site.host.assign(rest);
        site.port = 21;
    }
    return true;
}
