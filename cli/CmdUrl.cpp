// quarnel-cli url [--escaped] LOCATION: the full URL of a location, with login and port.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Records.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <ostream>

namespace {

int RunUrl(CliContext& ctx, const CliArgs& args) {
    if (args.operands.size() != 1)
        throw CliUsageError("url takes one location");
    const std::string& location = args.operands.front();
    const bool escaped = args.Has("escaped");
    std::string key, path;
    SplitLocation(location, key, path);
    CFTPSite* site = CliFindSite(ctx.doc, key);
    if (!site) {
        ctx.err << "quarnel-cli: no site has the key " << CliField(key) << '\n';
        return 1;
    }
    // The path as tree, search and new print it, or as stored; the names the tree holds are
    // taken from it.
    const StoredLocationPath stored = FindStoredPath(*site, path);
    if (escaped) {
        // The host goes in as stored; a directory's URL ends with "/".
        ctx.out << CliField(ExactUrl(*site, stored.path, stored.target)) << '\n';
        return 0;
    }
    ctx.out << CliField(ShownField(UrlPrefix(*site))) << CliField(stored.shown) << '\n';
    return 0;
}

const CommandRegistrar urlCommand{{"url",
                                   "url [--escaped] LOCATION",
                                   "the ftp:// URL of a location (ftp://KEY/path) with login and port. "
                                   "LOCATION is taken as tree, search and new print it (\\\\ for a "
                                   "backslash, \\t \\n \\r \\xNN for control bytes); a name typed as "
                                   "stored (one backslash) is found too unless the printed reading names "
                                   "another stored entry. --escaped: percent-encoded from the stored names, "
                                   "for other programs, a directory's ending with /. A site with explicit "
                                   "TLS (ftpes) gets no password in its URLs: ftp:// may be opened in clear",
                                   RunUrl,
                                   false,
                                   true,
                                   {{"escaped", 0, {}, "percent-encoded from the stored names"}}}};

} // namespace
