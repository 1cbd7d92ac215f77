// quarnel-cli url [--escaped] LOCATION: the full URL of a location, with login and port.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Records.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <mutex>
#include <ostream>

namespace {

// A stored name that `part` stands for: the same bytes, or the name as it is shown.
template <class T> const T* FindTyped(const CFTPSite& site, const CObList<T>& list, const std::string& part) {
    for (const T* entry : list)
        if (entry->m_strName == part)
            return entry;
    for (const T* entry : list)
        if (ShownName(&site, entry->m_strName) == part)
            return entry;
    return nullptr;
}

// The path as typed (shown names, UTF-8) turned into the names the server listed, segment by
// segment as far as the stored tree has them; what the tree does not hold stays as typed.
std::string StoredPath(CFTPSite& site, const std::string& typed) {
    site.EnsureLoaded();
    auto lock = site.LockTree();
    const CFTPDir* dir = site.m_pRootDir.get();
    std::string stored;
    std::size_t pos = 0;
    while (pos < typed.size()) {
        std::size_t next = typed.find('/', pos + 1);
        if (next == std::string::npos)
            next = typed.size();
        // typed[pos] is the "/" in front of the segment.
        const std::string part = typed.substr(pos + 1, next - pos - 1);
        stored += '/';
        const CFTPDir* sub = dir ? FindTyped(site, dir->m_subDirs, part) : nullptr;
        const CFTPFile* file =
            dir && !sub && next == typed.size() ? FindTyped(site, dir->m_files, part) : nullptr;
        stored += sub ? sub->m_strName : file ? file->m_strName : part;
        dir = sub;
        pos = next;
    }
    return stored;
}

int RunUrl(CliContext& ctx, const std::vector<std::string>& args) {
    bool escaped = false;
    std::string location;
    bool haveLocation = false;
    for (const std::string& arg : args) {
        if (arg == "--escaped")
            escaped = true;
        else if (!haveLocation)
            location = arg, haveLocation = true;
        else
            throw CliUsageError("url takes one location");
    }
    if (!haveLocation)
        throw CliUsageError("url takes one location");
    std::string key, path;
    SplitLocation(location, key, path);
    CFTPSite* site = CliFindSite(ctx.doc, key);
    if (!site) {
        ctx.err << "quarnel-cli: no site has the key " << CliField(key) << '\n';
        return 1;
    }
    if (escaped) {
        ctx.out << CliField(ExactUrl(*site, StoredPath(*site, path))) << '\n'; // the host goes in as stored
        return 0;
    }
    // The path goes out as it was given; only the site's part comes from the catalogue.
    ctx.out << CliField(ShownField(UrlPrefix(*site))) << CliField(path) << '\n';
    return 0;
}

const CommandRegistrar urlCommand{{"url", "url [--escaped] LOCATION",
                                   "the ftp:// URL of a location (ftp://KEY/path) with login and port; "
                                   "--escaped: percent-encoded from the stored names, for other programs",
                                   RunUrl, false, true}};

} // namespace
