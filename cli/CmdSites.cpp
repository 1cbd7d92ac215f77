// quarnel-cli sites | add: list the sites, add one.
#include "cli/CliPassword.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include <cstdint>
#include <ostream>
#include <unistd.h>

namespace {

int RunSites(CliContext& ctx, const std::vector<std::string>& args) {
    if (!args.empty())
        throw CliUsageError("sites takes no arguments");
    for (const CFTPSite* site : ctx.doc.m_siteList) {
        ctx.out << CliField(ShownField(site->GetKey())) << '\t' << CliField(ShownField(site->m_strHost))
                << '\t' << site->m_nPort << '\t' << CliField(ShownField(site->m_strUser)) << '\t'
                << CliField(ShownField(site->m_strNickname)) << '\n';
    }
    return 0;
}

// The port as the site dialog reads it: an unsigned decimal number.
int32_t ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        throw CliUsageError("Please enter a positive integer.");
    const unsigned long long value = std::stoull(text);
    if (value > UINT32_MAX)
        throw CliUsageError("Please enter a positive integer.");
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// The outcome of a command that changed the site list: its refusal, or site.ds not written.
int ReportListChange(CliContext& ctx, OpStatus status, const std::string& message, bool listSaved) {
    if (status != OpStatus::Done) {
        ctx.err << CliField(message) << '\n';
        return 1;
    }
    if (!listSaved) {
        const FileError& error = ctx.doc.m_lastListSaveError;
        ctx.err << "quarnel-cli: could not write "
                << (error.path.empty() ? "site.ds" : CliField(error.Text())) << '\n';
        return 1;
    }
    return 0;
}

int RunAdd(CliContext& ctx, const std::vector<std::string>& args) {
    SiteFields fields;
    bool hasHost = false, hasUser = false, hasPassword = false, hasPasswordFile = false;
    std::string passwordFile;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--host") {
            fields.host = TakeValue(args, i);
            hasHost = true;
        } else if (arg == "--port") {
            fields.port = ParsePort(TakeValue(args, i));
        } else if (arg == "--user") {
            fields.user = TakeValue(args, i);
            hasUser = true;
        } else if (arg == "--password") {
            fields.password = TakeValue(args, i);
            hasPassword = true;
        } else if (arg == "--password-file") {
            passwordFile = TakeValue(args, i);
            hasPasswordFile = true;
        } else if (arg == "--anonymous") {
            fields.anonymous = true;
        } else if (arg == "--anonymous-update") {
            fields.anonymousUpdate = true;
        } else if (arg == "--nickname") {
            fields.nickname = TakeValue(args, i);
        } else if (arg == "--remark") {
            fields.remark = TakeValue(args, i);
        } else if (arg == "--encoding") {
            if (!ParseEncodingChoice(TakeValue(args, i), fields.encoding))
                throw CliUsageError("--encoding takes auto, utf8 or gbk");
        } else {
            throw CliUsageError("unexpected argument " + arg);
        }
    }
    if (!hasHost)
        throw CliUsageError("add needs --host");
    if (fields.anonymous && (hasUser || hasPassword || hasPasswordFile))
        throw CliUsageError("--anonymous takes no --user, --password or --password-file");
    if (hasPassword && hasPasswordFile)
        throw CliUsageError("give --password or --password-file, not both");
    if (hasPasswordFile) {
        std::string error;
        if (!ReadPasswordFile(passwordFile, fields.password, error)) {
            ctx.err << "quarnel-cli: cannot read the password from " << CliField(passwordFile) << ": "
                    << CliField(error) << '\n';
            return 1;
        }
    } else if (hasUser && !hasPassword && !fields.anonymous && isatty(STDIN_FILENO)) {
        // Asked for rather than typed on the command line, where every user sees it in `ps`.
        const std::string prompt =
            "Password for " + CliField(fields.user) + "@" + CliField(fields.host) + ": ";
        if (!PromptPassword(prompt, fields.password)) {
            ctx.err << "quarnel-cli: no password was read\n";
            return 1;
        }
    }
    const SiteOpResult result = ctx.doc.AddSite(fields);
    return ReportListChange(ctx, result.status, result.message, result.listSaved);
}

int RunImport(CliContext& ctx, const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw CliUsageError("import takes one file");
    const ImportResult result = ctx.doc.ImportSites(args[0]);
    return ReportListChange(ctx, result.status, result.message, result.listSaved);
}

const CommandRegistrar sitesCommand{
    {"sites", "sites", "list the sites: key, host, port, user, nickname", RunSites}};
const CommandRegistrar addCommand{
    {"add",
     "add --host H [--port N] [--user U [--password-file FILE | --password P] | --anonymous] "
     "[--anonymous-update] [--nickname T] [--remark T] [--encoding auto|utf8|gbk]",
     "add a site (refused when one with the same host and user exists). The password is the first "
     "line of FILE, or asked for without echo when standard input is a terminal; --password P is "
     "unsafe: other users of the machine can read it in the process list",
     RunAdd, true}};
const CommandRegistrar importCommand{
    {"import", "import FILE", "add the sites of a text file, one [ftp://][user:password@]host[:port] a line",
     RunImport, true}};

} // namespace
