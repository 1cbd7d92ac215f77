// quarnel-cli remove KEY: deletes a site and its stored tree, as the window's delete does.
#include "cli/CliSiteTurn.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Paths.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <ostream>
#include <sys/stat.h>

namespace {

int RunRemove(CliContext& ctx, const CliArgs& cliArgs) {
    const std::vector<std::string>& args = cliArgs.operands;
    if (args.size() != 1)
        throw CliUsageError("remove takes one site key");
    CFTPSite* site = CliSiteOrSay(ctx, args[0]);
    if (!site)
        return kCliError;
    const std::string key = site->GetKey();
    if (!ctx.prepareToWrite())
        return kCliError;
    CliWaitForOtherUpdates(ctx);
    // Waits for another program's update of the site, takes the site.ds lock, reads the list
    // again, deletes Data/KEY's files and writes site.ds.
    if (ctx.doc.DeleteSite(site) != OpStatus::Done) {
        if (CliSayLockRefusal(ctx, key))
            return kCliError;
        ctx.err << "quarnel-cli: the site " << CliField(ShownField(key))
                << " was removed by another program\n";
        return kCliError;
    }
    const int status = ReportSiteListSaved(ctx, ctx.doc.m_lastListSaveError.path.empty());
    // Only the site's own files go; anything else put there keeps the directory.
    struct stat st {};
    if (IsUsableSiteKey(key) && lstat(SiteDataDirPath(key).c_str(), &st) == 0)
        ctx.err << "quarnel-cli: kept " << CliField(SiteDataDirPath(key))
                << ": it holds files that are not the site's\n";
    return status;
}

const CommandRegistrar removeCommand{
    {"remove", "remove KEY",
     "delete a site: it leaves the list, and its stored tree, read marks and settings (Data/KEY) are "
     "deleted",
     RunRemove, true}};

} // namespace
