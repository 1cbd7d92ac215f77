// quarnel-cli tree | export: a site's stored tree, as entry lines or as URLs.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/TreeWalk.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <mutex>
#include <ostream>

namespace {

CFTPSite* LoadedSite(CliContext& ctx, const std::string& key) {
    CFTPSite* site = CliSiteOrSay(ctx, key);
    if (site)
        site->EnsureLoaded();
    return site;
}

void PrintTree(std::ostream& out, CFTPSite& site) {
    auto lock = site.LockTree();
    WalkStoredOrder(
        *site.m_pRootDir, [&](const CFTPDir& dir, std::size_t) { PrintEntry(out, &dir); },
        [&](const CFTPFile& file, std::size_t) { PrintEntry(out, &file); });
}

int RunTree(CliContext& ctx, const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw CliUsageError("tree takes one site key");
    CFTPSite* site = LoadedSite(ctx, args[0]);
    if (!site)
        return 1;
    PrintTree(ctx.out, *site);
    return 0;
}

int RunExport(CliContext& ctx, const std::vector<std::string>& args) {
    std::string key;
    std::string format = "tsv";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--format")
            format = TakeValue(args, i);
        else if (args[i].rfind("--format=", 0) == 0)
            format = args[i].substr(9);
        else if (key.empty() && !args[i].empty() && args[i][0] != '-')
            key = args[i];
        else
            throw CliUsageError("unexpected argument " + args[i]);
    }
    if (key.empty())
        throw CliUsageError("export needs a site key");
    if (format != "tsv" && format != "urls" && format != "uris")
        throw CliUsageError("--format takes tsv, urls or uris");
    CFTPSite* site = LoadedSite(ctx, key);
    if (!site)
        return 1;
    if (format == "tsv") {
        PrintTree(ctx.out, *site);
        return 0;
    }
    // The URL of every file: the login of this very site and the file's path below its root,
    // readable (urls) or percent-encoded from the stored bytes for other programs (uris).
    const bool exact = format == "uris";
    const std::string prefix = CliField(ShownField(UrlPrefix(*site)));
    auto lock = site->LockTree();
    WalkStoredOrder(
        *site->m_pRootDir, [](const CFTPDir&, std::size_t) {},
        [&](const CFTPFile& file, std::size_t) {
            std::string fileKey, path;
            SplitLocation(GetLocation(&file), fileKey, path);
            if (exact)
                ctx.out << CliField(ExactUrl(*site, path)) << '\n'; // the host goes in as stored
            else
                ctx.out << prefix << CliField(ShownPath(site, path)) << '\n';
        });
    return 0;
}

const CommandRegistrar treeCommand{{"tree", "tree KEY",
                                    "every stored entry of a site: D|F, new mark, size, location", RunTree,
                                    false, true}};
const CommandRegistrar exportCommand{
    {"export", "export KEY [--format tsv|urls|uris]",
     "a site's stored tree as entry lines (tsv) or as one ftp:// URL per file, readable (urls) or "
     "percent-encoded for curl and wget (uris)",
     RunExport, false, true}};

} // namespace
