// quarnel-cli show: every field and setting of one site, one "name<TAB>value" record a line.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Paths.h"
#include "model/SiteSettings.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <ctime>
#include <ostream>
#include <sys/stat.h>

namespace {

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

// When the site's tree was last stored, in local time; empty when it never was.
std::string StoredAt(const std::string& key) {
    struct stat st {};
    if (stat((SiteDataDirPath(key) + "/content.ct").c_str(), &st) != 0)
        return {};
    char text[64];
    struct tm local {};
    localtime_r(&st.st_mtime, &local);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

int RunShow(CliContext& ctx, const CliArgs& cliArgs) {
    const std::vector<std::string>& args = cliArgs.operands;
    if (args.size() != 1)
        throw CliUsageError("show takes one site key");
    CFTPSite* site = CliSiteOrSay(ctx, args[0]);
    if (!site)
        return kCliError;
    const std::string key = site->GetKey();
    auto field = [&](const char* name, const std::string& value) {
        ctx.out << name << '\t' << CliField(value) << '\n';
    };
    field("key", ShownField(key));
    field("host", ShownField(site->m_strHost));
    field("port", std::to_string(site->m_nPort));
    field("anonymous", YesNo(site->IsAnonymous()));
    field("user", site->IsAnonymous() ? std::string() : ShownField(site->m_strUser));
    field("password", site->m_strPassword.empty() || site->IsAnonymous() ? "" : "(stored)");
    field("nickname", ShownField(site->m_strNickname));
    field("remark", ShownField(site->m_strRemark));
    field("anonymous-update", YesNo(site->m_bAnonymousUpdate != 0));
    const CSiteSettings settings = site->GetSettings();
    field("protocol", std::string(ProtocolName(settings.m_protocol)));
    field("encoding", EncodingChoiceName(settings.m_encoding));
    field("server-utf8", YesNo(settings.m_bServerUtf8));
    field("connections", std::to_string(settings.m_nConnections));
    field("tls-pin", settings.m_tlsPin);
    field("max-entries", std::to_string(settings.m_nMaxEntries));
    field("settings", settings.IsDamaged() ? "damaged: " + settings.m_strDamage : "ok");
    for (const auto& [name, value] : settings.m_otherLines)
        field(("other:" + name).c_str(), value);
    field("stored", StoredAt(key));
    return kCliOk;
}

const CommandRegistrar showCommand{
    {"show", "show KEY",
     "every field and setting of one site (the password only as whether one is "
     "stored), one name<TAB>value record a line",
     RunShow, false, true}};

} // namespace
