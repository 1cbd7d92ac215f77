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

std::string UrlPrefix(const CFTPSite& site) {
    std::string url(kScheme);
    if (!site.IsAnonymous()) {
        url += site.m_strUser;
        url += ':';
        url += site.m_strPassword;
        url += '@';
    }
    url += site.m_strHost;
    url += ':';
    url += std::to_string(site.m_nPort);
    return url;
}
