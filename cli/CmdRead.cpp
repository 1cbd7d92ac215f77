// quarnel-cli read KEY [LOCATION]: mark a site, or one directory and everything below it, read.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"

#include <ostream>

namespace {

int RunRead(CliContext& ctx, const CliArgs& cliArgs) {
    const std::vector<std::string>& args = cliArgs.operands;
    if (args.empty() || args.size() > 2)
        throw CliUsageError("read takes a site key and optionally a location");
    CFTPSite* site = CliFindSite(ctx.doc, args[0]);
    if (!site) {
        ctx.err << "quarnel-cli: no site has the key " << CliField(args[0]) << '\n';
        return 1;
    }
    if (!ctx.prepareToWrite())
        return 1;
    site->EnsureLoaded();
    CFTPDir* dir = site->m_pRootDir.get();
    if (args.size() == 2) {
        // A full location, or a path below the site's root.
        const std::string& where = args[1];
        std::string location = where;
        if (where.rfind("ftp://", 0) != 0)
            location = "ftp://" + site->GetKey() + (where.empty() || where[0] != '/' ? "/" : "") + where;
        dir = ctx.doc.FindDirByLocation(location);
        if (!dir || dir->GetSite() != site) {
            ctx.err << "quarnel-cli: no directory " << CliField(where) << " in the site " << CliField(args[0])
                    << '\n';
            return 1;
        }
    }
    // Naming a directory is opening it: its own mark goes too, as when it is selected.
    CQuarnelDoc::ClearMark(dir);
    ctx.doc.SetReadFromTree(dir);
    if (site->m_bStateDirty) {
        const CResult<void> saved = site->TrySaveState();
        if (!saved) {
            ctx.err << "quarnel-cli: could not write the read marks of " << CliField(args[0]) << ": "
                    << CliFileErrorText(saved.error()) << '\n';
            return 1;
        }
        site->m_bStateDirty = 0;
    }
    return 0;
}

const CommandRegistrar readCommand{
    {"read", "read KEY [LOCATION]",
     "mark a whole site, or a directory (ftp://KEY/path or path) and everything below it, read", RunRead}};

} // namespace
