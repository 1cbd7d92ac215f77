#include "ops/Location.h"

#include "model/Records.h"

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
// An SFTP login without a password is one by key: "user@host".
bool WritesPassword(const CFTPSite& site) {
    return !site.m_strPassword.empty() || site.GetSettings().m_protocol != SiteProtocol::Sftp;
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

std::string ExactUrl(const CFTPSite& site, std::string_view path) {
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
    return url;
}
