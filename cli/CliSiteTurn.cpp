#include "cli/CliSiteTurn.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/FileLock.h"
#include "model/Log.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <cerrno>
#include <ostream>

void CliWaitForOtherUpdates(CliContext& ctx) {
    ctx.doc.m_updateWait = kSaveLockWait;
    ctx.doc.m_onUpdateWait = [&ctx](const std::string& key) {
        const std::string text = "another program is updating " + ShownField(key) +
                                 "; waiting for it to end (at most " +
                                 std::to_string(kSaveLockWait.count() / 1000) + " s)";
        LogInfo(text);
        if (ctx.showProgress)
            ctx.err << "quarnel-cli: " << CliField(text) << std::endl;
    };
}

bool CliSayLockRefusal(CliContext& ctx, const std::string& key) {
    const FileError& failure = ctx.doc.m_lastLockFailure;
    if (failure.path.empty())
        return false;
    if (failure.errnoValue == EWOULDBLOCK && failure.path.rfind(SiteUpdateLockPath(""), 0) == 0)
        ctx.err << "quarnel-cli: the site " << CliField(ShownField(key))
                << " is being updated by another program; try again when that update has ended\n";
    else if (failure.message != ErrnoText(failure.errnoValue))
        ctx.err << "quarnel-cli: " << CliField(failure.path) << ": " << CliField(failure.message) << "\n";
    else
        ctx.err << "quarnel-cli: " << CliFileErrorText(failure) << "\n";
    return true;
}
