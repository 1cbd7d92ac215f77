// quarnel-cli edit KEY [--host H] ...: changes a site's fields, as the window's site dialog does.
#include "cli/CliSiteOptions.h"
#include "cli/CliSiteTurn.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Paths.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"

#include <ostream>
#include <sys/stat.h>

namespace {

// The stored form of a field as the edit will store it: unchanged text keeps its bytes.
std::string StoredForm(const std::string& typedUtf8, const std::string& shownBefore,
                       const std::string& stored) {
    return typedUtf8 == shownBefore ? stored : Utf8ToNarrow(typedUtf8);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int RunEdit(CliContext& ctx, const CliArgs& args) {
    const CliSiteOptions options = ParseSiteOptions(args);
    if (options.operands.size() != 1)
        throw CliUsageError("edit takes one site key");
    if (!options.host && !options.port && !options.user && !options.anonymous && !options.password &&
        !options.passwordFile && !options.nickname && !options.remark && !options.encoding &&
        !options.protocol && !options.connections)
        throw CliUsageError("edit needs something to change");

    CFTPSite* site = CliSiteOrSay(ctx, options.operands.front());
    if (!site)
        return kCliError;
    const bool givesPassword = options.password || options.passwordFile;
    if (givesPassword && !options.user && site->IsAnonymous())
        throw CliUsageError("an anonymous site has no password: give --user too");
    // A site that becomes a user's has no password to keep: one is asked for.
    const bool becomesUsers = options.user && site->IsAnonymous();
    std::string password;
    const std::string shownHost = CliField(options.host ? *options.host : ShownField(site->m_strHost));
    if (!TakePassword(ctx, options,
                      "Password for " + CliField(options.user.value_or("")) + "@" + shownHost + ": ",
                      becomesUsers, password))
        return kCliError;
    if (!ctx.prepareToWrite())
        return kCliError;

    // What other programs changed meanwhile counts: the site's fields, and the keys taken. The
    // site may even have gone.
    const std::string key = site->GetKey();
    ctx.doc.ReloadSiteList();
    site = ctx.doc.FindSiteByKey(key);
    if (!site) {
        ctx.err << "quarnel-cli: the site " << CliField(ShownField(key))
                << " was removed by another program\n";
        return kCliError;
    }
    const SiteFields before = ctx.doc.FieldsFromSite(*site);
    SiteFields fields = before;
    if (options.host)
        fields.host = *options.host;
    if (options.port)
        fields.port = *options.port;
    if (options.nickname)
        fields.nickname = *options.nickname;
    if (options.remark)
        fields.remark = *options.remark;
    if (options.encoding)
        fields.encoding = *options.encoding;
    if (options.protocol)
        fields.protocol = *options.protocol;
    if (options.connections)
        fields.connections = *options.connections;
    if (options.anonymous) {
        fields.anonymous = true;
        fields.user.clear();
        fields.password.clear();
    } else if (options.user) {
        if (fields.anonymous)
            fields.password.clear();
        fields.anonymous = false;
        fields.user = *options.user;
    }
    if (givesPassword || becomesUsers)
        fields.password = password;

    // Two sites of one host and user would share one data directory: refused as add refuses it.
    CFTPSite edited;
    edited.m_strHost = StoredForm(fields.host, before.host, site->m_strHost);
    edited.m_strUser =
        fields.anonymous ? kAnonymousUser : StoredForm(fields.user, before.user, site->m_strUser);
    edited.m_strPassword = fields.anonymous
                               ? kAnonymousPassword
                               : StoredForm(fields.password, before.password, site->m_strPassword);
    CheckSiteKey(edited.GetKey());
    for (const CFTPSite* other : ctx.doc.m_siteList) {
        if (other == site)
            continue;
        if ((other->m_strHost == edited.m_strHost && other->m_strUser == edited.m_strUser) ||
            other->GetKey() == edited.GetKey()) {
            ctx.err << "quarnel-cli: the site " << CliField(ShownField(other->GetKey()))
                    << " has that host and user already\n";
            return kCliError;
        }
    }

    const std::string oldKey = site->GetKey();
    const bool hadData = IsUsableSiteKey(oldKey) && Exists(SiteDataDirPath(oldKey));
    // Takes the site.ds lock; the data directory is renamed with the key, site.conf inside it.
    CliWaitForOtherUpdates(ctx); // a new key waits for another program's update of the site
    const SiteOpResult result = ctx.doc.EditSite(site, fields);
    if (result.status != OpStatus::Done) {
        if (CliSayLockRefusal(ctx, oldKey))
            return kCliError;
        ctx.err << "quarnel-cli: the site " << CliField(ShownField(oldKey))
                << " is being updated; try again later\n";
        return kCliError;
    }
    int status = ReportSiteListSaved(ctx, result.listSaved);
    if (ReportSettingsSaved(ctx, result.settingsError) != kCliOk)
        status = kCliError;
    const std::string newKey = site->GetKey();
    if (hadData && newKey != oldKey && Exists(SiteDataDirPath(oldKey))) {
        // Kept under the old name, as the window keeps it; the site's tree is not found until moved.
        ctx.err << "quarnel-cli: could not rename " << CliField(SiteDataDirPath(oldKey)) << " to "
                << CliField(SiteDataDirPath(newKey)) << "; the stored tree stays under the old name\n";
        status = kCliError;
    }
    return status;
}

const CommandRegistrar editCommand{
    {"edit", "edit KEY [--user U | --anonymous] [--password-file FILE | --password P] [OPTION...]",
     "change a site's fields; the rest stay (a new host or port forgets an accepted certificate). A new key "
     "(host, user) takes the stored tree along "
     "(Data/KEY is renamed) and is refused when another site has it. --user on an anonymous site asks "
     "for the password without echo when standard input is a terminal, else reads the first line of "
     "standard input",
     RunEdit, true, false, SiteOptionTable(false)}};

} // namespace
