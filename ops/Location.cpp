#include "ops/Location.h"

#include "model/Records.h"
#include "ops/ShownText.h"

#include <mutex>
#include <vector>

namespace {

constexpr std::string_view kScheme = "ftp://";

std::string LocationOf(const CFTPSite* site, const std::string& relative) {
    std::string key = site ? site->GetKey() : std::string();
    std::string location;
    location.reserve(kScheme.size() + key.size() + 1 + relative.size());
    location += kScheme;
    location += key;
    location += '/';
    location += relative;
    return location;
}

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

void AppendEscaped(std::string& out, std::string_view bytes, bool keepSlash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c) || (keepSlash && c == '/')) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

void AppendHost(std::string& out, const std::string& host) {
    if (host.find(':') == std::string::npos || host.front() == '[') {
        out += host;
        return;
    }
    // An IPv6 literal; a zone ("fe80::1%eth0") needs its "%" escaped inside the brackets.
    out += '[';
    for (const char c : host) {
        if (c == '%')
            out += "%25";
        else
            out += c;
    }
    out += ']';
}

} // namespace

std::string GetRelativePath(const CFTPDir* dir) {
    if (!dir || !dir->m_pParent)
        return std::string();
    std::vector<const CFTPDir*> chain;
    std::size_t length = 0;
    for (const CFTPDir* d = dir; d->m_pParent; d = d->m_pParent) {
        chain.push_back(d);
        length += d->m_strName.size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (std::size_t i = chain.size(); i-- > 0;) {
        path += chain[i]->m_strName;
        if (i > 0)
            path += '/';
    }
    return path;
}

std::string GetLocation(const CFTPDir* dir) {
    if (!dir)
        return LocationOf(nullptr, std::string());
    return LocationOf(dir->GetSite(), GetRelativePath(dir));
}

std::string GetLocation(const CFTPFile* file) {
    if (!file)
        return LocationOf(nullptr, std::string());
    std::string relative = GetRelativePath(file->m_pParent);
    if (!relative.empty())
        relative += '/';
    relative += file->m_strName;
    return LocationOf(file->GetSite(), relative);
}

void SplitLocation(std::string_view location, std::string& key, std::string& path) {
    if (location.substr(0, kScheme.size()) == kScheme)
        location.remove_prefix(kScheme.size());
    const std::size_t slash = location.find('/');
    if (slash == std::string_view::npos) {
        key.assign(location);
        path.clear();
    } else {
        key.assign(location.substr(0, slash));
        path.assign(location.substr(slash));
    }
}

namespace {
// The site's scheme and "://"; the location keeps "ftp://" whatever the protocol.
std::string SchemeOf(const CFTPSite& site) {
    return std::string(UrlScheme(site.GetSettings().m_protocol)) + "://";
}
// Whether the URL carries ":password". Not for explicit TLS: its URL is ftp://, which a handler
// may open in clear. Not for an SFTP login without a password, which is one by key.
bool WritesPassword(const CFTPSite& site) {
    switch (site.GetSettings().m_protocol) {
    case SiteProtocol::Ftp:
    case SiteProtocol::FtpImplicitTls:
        return true;
    case SiteProtocol::FtpExplicitTls:
        return false;
    case SiteProtocol::Sftp:
        break;
    }
    return !site.m_strPassword.empty();
}
} // namespace

std::string UrlPrefix(const CFTPSite& site) {
    std::string url = SchemeOf(site);
    if (!site.IsAnonymous()) {
        url += site.m_strUser;
        if (WritesPassword(site)) {
            url += ':';
            url += site.m_strPassword;
        }
        url += '@';
    }
    url += site.m_strHost;
    url += ':';
    url += std::to_string(site.m_nPort);
    return url;
}

std::string ExactUrl(const CFTPSite& site, std::string_view path, UrlTarget target) {
    std::string url = SchemeOf(site);
    if (!site.IsAnonymous()) {
        AppendEscaped(url, site.m_strUser, false);
        if (WritesPassword(site)) {
            url += ':';
            AppendEscaped(url, site.m_strPassword, false);
        }
        url += '@';
    }
    AppendHost(url, site.m_strHost);
    url += ':';
    url += std::to_string(site.m_nPort);
    AppendEscaped(url, path, true);
    if (target == UrlTarget::Directory && (path.empty() || path.back() != '/'))
        url += '/';
    return url;
}

bool ReadPrintedText(std::string_view printed, std::string& text) {
    const auto hexValue = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string read;
    read.reserve(printed.size());
    for (std::size_t i = 0; i < printed.size(); ++i) {
        if (printed[i] != '\\') {
            read += printed[i];
            continue;
        }
        if (i + 1 >= printed.size())
            return false;
        const char kind = printed[++i];
        if (kind == '\\') {
            read += '\\';
        } else if (kind == 't') {
            read += '\t';
        } else if (kind == 'n') {
            read += '\n';
        } else if (kind == 'r') {
            read += '\r';
        } else if (kind == 'x' && i + 2 < printed.size() && hexValue(printed[i + 1]) >= 0 &&
                   hexValue(printed[i + 2]) >= 0) {
            const int value = hexValue(printed[i + 1]) * 16 + hexValue(printed[i + 2]);
            i += 2;
            if (value >= 0x80 && value <= 0x9F) {
                read += static_cast<char>(0xC2); // a C1 control, printed by its number
                read += static_cast<char>(value);
            } else {
                read += static_cast<char>(value);
            }
        } else {
            return false;
        }
    }
    text = std::move(read);
    return true;
}

namespace {

// The stored entry of `list` whose name is `name`, by its bytes or as shown.
template <class T> const T* FindNamed(const CFTPSite& site, const CObList<T>& list, const std::string& name) {
    for (const T* entry : list)
        if (entry->m_strName == name)
            return entry;
    for (const T* entry : list)
        if (ShownName(&site, entry->m_strName) == name)
            return entry;
    return nullptr;
}

} // namespace

StoredLocationPath FindStoredPath(CFTPSite& site, std::string_view typed) {
    StoredLocationPath found;
    if (typed.empty()) {
        found.target = UrlTarget::Directory; // the key alone: the site's root
        return found;
    }
    // A path ending in "/" names a directory; the "/" itself is no name.
    const bool slashEnd = typed.back() == '/';
    if (slashEnd)
        typed.remove_suffix(1);
    site.EnsureLoaded();
    auto lock = site.LockTree();
    const CFTPDir* dir = site.m_pRootDir.get();
    std::size_t pos = 0;
    // typed[pos] is the "/" in front of each name.
    while (pos < typed.size()) {
        std::size_t next = typed.find('/', pos + 1);
        if (next == std::string_view::npos)
            next = typed.size();
        const std::string given(typed.substr(pos + 1, next - pos - 1));
        const bool last = next == typed.size();
        std::string printed;
        const bool readsAsPrinted = ReadPrintedText(given, printed);
        const CFTPDir* sub = nullptr;
        const CFTPFile* file = nullptr;
        const std::string* readings[] = {readsAsPrinted ? &printed : nullptr, &given};
        for (const std::string* reading : readings) {
            if (!reading || !dir || sub || file)
                continue;
            sub = FindNamed(site, dir->m_subDirs, *reading);
            if (!sub && last)
                file = FindNamed(site, dir->m_files, *reading);
        }
        found.path += '/';
        found.shown += '/';
        if (sub || file) {
            const std::string_view name = sub ? sub->m_strName : file->m_strName;
            found.path += name;
            found.shown += ShownName(&site, name);
        } else {
            found.path += readsAsPrinted ? printed : given;
            found.shown += readsAsPrinted ? printed : given;
        }
        dir = sub;
        pos = next;
    }
    if (slashEnd && found.path.empty())
        found.path = found.shown = "/";
    // `dir` is still set when every name was a stored directory (or there was none: the root).
    found.target = slashEnd || dir ? UrlTarget::Directory : UrlTarget::File;
    return found;
}
