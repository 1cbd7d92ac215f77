// Locations turned back into sites, directories and URLs.
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"

CFTPSite* CQuarnelDoc::FindSiteByKey(const std::string& key) const {
    for (CFTPSite* site : m_siteList)
        if (site->GetKey() == key)
            return site;
    return nullptr;
}

namespace {

// The URL of a location in one of its forms, made from the first site with the location's key;
// "" when there is none.
template <class MakeUrl>
std::string UrlOfLocation(const CQuarnelDoc& doc, const std::string& location, MakeUrl makeUrl) {
    std::string key, path;
    SplitLocation(location, key, path);
    const CFTPSite* site = doc.FindSiteByKey(key);
    return site ? makeUrl(*site, path) : std::string();
}

} // namespace

std::string CQuarnelDoc::BuildUrl(const std::string& location) const {
    return UrlOfLocation(*this, location, [](const CFTPSite& site, const std::string& path) {
        return UrlPrefix(site) + path;
    });
}

std::string CQuarnelDoc::BuildExactUrl(const std::string& location) const {
    // A stored directory's URL ends with "/"; the location itself keeps its form.
    const UrlTarget target = FindDirByLocation(location) ? UrlTarget::Directory : UrlTarget::File;
    return UrlOfLocation(*this, location, [target](const CFTPSite& site, const std::string& path) {
        return ExactUrl(site, path, target);
    });
}

std::string CQuarnelDoc::BuildShownUrl(const std::string& location) const {
    return UrlOfLocation(*this, location,
                         [](const CFTPSite& site, const std::string& path) { return ShownUrl(site, path); });
}

CFTPDir* CQuarnelDoc::FindDirByLocation(const std::string& location) const {
    std::string key, path;
    SplitLocation(location, key, path);
    CFTPSite* site = FindSiteByKey(key);
    if (!site) {
        // A location typed by a person carries the display (UTF-8) form of the key.
        for (CFTPSite* candidate : m_siteList) {
            if (ShownField(candidate->GetKey()) == key) {
                site = candidate;
                break;
            }
        }
    }
    if (!site)
        return nullptr;
    site->EnsureLoaded();
    auto lock = site->LockTree();
    CFTPDir* dir = site->m_pRootDir.get();
    std::size_t pos = 0;
    while (dir && pos < path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        const std::string part = path.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty())
            continue;
        CFTPDir* found = dir->FindSubDir(part);
        if (!found) {
            for (CFTPDir* sub : dir->m_subDirs) {
                if (ShownName(site, sub->m_strName) == part) {
                    found = sub;
                    break;
                }
            }
        }
        dir = found;
    }
    return dir;
}
