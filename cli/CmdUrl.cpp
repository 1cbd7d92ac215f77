// quarnel-cli url LOCATION: the full URL of a location, with login and port.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"

#include <ostream>

namespace {

int RunUrl(CliContext& ctx, const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw CliUsageError("url takes one location");
    std::string key, path;
    SplitLocation(args[0], key, path);
    const CFTPSite* site = CliFindSite(ctx.doc, key);
    if (!site) {
        ctx.err << "quarnel-cli: no site has the key " << key << '\n';
        return 1;
    }
    // The path goes out as it was given; only the site's part comes from the catalogue.
    ctx.out << CliField(CliDisplay(UrlPrefix(*site))) << CliField(path) << '\n';
    return 0;
}

const CommandRegistrar urlCommand{
    {"url", "url LOCATION", "the ftp:// URL of a location (ftp://KEY/path) with login and port", RunUrl}};

} // namespace
