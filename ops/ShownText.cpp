#include "ops/ShownText.h"

#include "model/Records.h"
#include "ops/Location.h"
#include "platform/NameCharset.h"
#include "platform/TextCodec.h"

#include <vector>

namespace {

NameCharset CharsetOf(const CFTPSite* site) {
    return site ? site->GetNameCharset() : NameCharset::Undecided;
}

// The names from below the root down to `dir`, each as shown, joined by "/".
void AppendShownPath(const CFTPDir* dir, NameCharset charset, std::string& out) {
    std::vector<const CFTPDir*> chain;
    for (; dir && dir->m_pParent; dir = dir->m_pParent)
        chain.push_back(dir);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (it != chain.rbegin())
            out += '/';
        out += ServerNameToUtf8((*it)->m_strName, charset);
    }
}

std::string LocationPrefix(const CFTPSite* site) {
    return "ftp://" + (site ? ShownField(site->GetKey()) : std::string()) + "/";
}

} // namespace

std::string ShownField(std::string_view stored) {
    return GbkToUtf8(stored);
}

std::string ShownSiteName(const CFTPSite& site) {
    return ShownField(site.GetDisplayName());
}

std::string ShownName(const CFTPSite* site, std::string_view name) {
    return ServerNameToUtf8(name, CharsetOf(site));
}

std::string ShownName(const CFTPDir* dir) {
    return ShownName(dir->GetSite(), dir->m_strName);
}

std::string ShownName(const CFTPFile* file) {
    return ShownName(file->GetSite(), file->m_strName);
}

std::string ShownPath(const CFTPSite* site, std::string_view path) {
    // No byte of a GBK character is '/', so splitting first is safe.
    const NameCharset charset = CharsetOf(site);
    std::string shown;
    shown.reserve(path.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t slash = path.find('/', pos);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        shown += ServerNameToUtf8(path.substr(pos, end - pos), charset);
        if (slash == std::string_view::npos)
            break;
        shown += '/';
        pos = slash + 1;
    }
    return shown;
}

std::string ShownUrl(const CFTPSite& site, std::string_view path) {
    return ShownField(UrlPrefix(site)) + ShownPath(&site, path);
}

std::string ShownLocation(const CFTPDir* dir) {
    return LocationPrefix(dir->GetSite()) + ShownLocationBelowRoot(dir);
}

std::string ShownLocation(const CFTPFile* file) {
    return LocationPrefix(file->GetSite()) + ShownLocationBelowRoot(file);
}

std::string ShownLocationPrefix(const CFTPSite* site) {
    return LocationPrefix(site);
}

std::string ShownLocationBelowRoot(const CFTPDir* dir) {
    std::string shown;
    AppendShownPath(dir, CharsetOf(dir->GetSite()), shown);
    return shown;
}

std::string ShownLocationBelowRoot(const CFTPFile* file) {
    const NameCharset charset = CharsetOf(file->GetSite());
    std::string shown;
    if (file->m_pParent && file->m_pParent->m_pParent) {
        AppendShownPath(file->m_pParent, charset, shown);
        shown += '/';
    }
    shown += ServerNameToUtf8(file->m_strName, charset);
    return shown;
}

std::string DisplaySafe(std::string_view utf8, bool keepLineBreaks) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD
    std::string shown;
    shown.reserve(utf8.size());
    const auto byte = [&utf8](std::size_t i) {
        return i < utf8.size() ? static_cast<unsigned char>(utf8[i]) : 0u;
    };
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned c = byte(i);
        if (c == '\n' && keepLineBreaks) {
            shown += '\n';
        } else if (c == '\r' && keepLineBreaks && byte(i + 1) == '\n') {
            // the line feed after it stays
        } else if (c == '\t') {
            shown += ' ';
        } else if (c < 0x20 || c == 0x7F) {
            shown += kReplacement;
        } else if (c == 0xC2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9F) { // U+0080..U+009F
            shown += kReplacement;
            ++i;
        } else if (c == 0xE2 && ((byte(i + 1) == 0x80 && byte(i + 2) >= 0xAA && byte(i + 2) <= 0xAE) ||
                                 (byte(i + 1) == 0x81 && byte(i + 2) >= 0xA6 && byte(i + 2) <= 0xA9))) {
            i += 2; // U+202A..U+202E, U+2066..U+2069
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}
