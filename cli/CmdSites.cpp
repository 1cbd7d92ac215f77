// quarnel-cli sites | add | import: list the sites, add one, add those of a file.
#include "cli/CliSiteOptions.h"
#include "cli/CliSiteTurn.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/Descriptor.h"
#include "platform/TextCodec.h"

#include <cerrno>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

int RunSites(CliContext& ctx, const CliArgs& args) {
    if (!args.operands.empty())
        throw CliUsageError("sites takes no arguments");
    int status = kCliOk;
    for (const CFTPSite* site : ctx.doc.m_siteList) {
        // Damaged settings may have lost the protocol: what is left of them is not shown as the
        // site's, and such a site is not updated.
        const CSiteSettings settings = site->GetSettings();
        if (settings.IsDamaged()) {
            ctx.err << "quarnel-cli: site " << CliField(ShownField(site->GetKey()))
                    << ": settings damaged, not updated: " << CliField(settings.m_strDamage) << '\n';
            status = kCliError;
        }
        ctx.out << CliField(ShownField(site->GetKey())) << '\t' << CliField(ShownField(site->m_strHost))
                << '\t' << site->m_nPort << '\t' << CliField(ShownField(site->m_strUser)) << '\t'
                << CliField(ShownField(site->m_strNickname)) << '\t'
                << (settings.IsDamaged() ? std::string_view("damaged") : ProtocolName(settings.m_protocol))
                << '\n';
    }
    return status;
}

int RunAdd(CliContext& ctx, const CliArgs& args) {
    const CliSiteOptions options = ParseSiteOptions(args);
    if (!options.operands.empty())
        throw CliUsageError("unexpected argument " + options.operands.front());
    if (!options.host)
        throw CliUsageError("add needs --host");
    SiteFields fields;
    fields.host = *options.host;
    fields.anonymous = options.anonymous;
    fields.anonymousUpdate = options.anonymousUpdate;
    fields.user = options.user.value_or("");
    fields.nickname = options.nickname.value_or("");
    fields.remark = options.remark.value_or("");
    fields.encoding = options.encoding.value_or(NameEncodingChoice::Auto);
    fields.protocol = options.protocol.value_or(SiteProtocol::Ftp);
    fields.connections = options.connections.value_or(kDefaultSiteConnections);
    // The port follows the protocol unless given.
    fields.port = options.port.value_or(DefaultPort(fields.protocol));
    if (!fields.anonymous)
        CheckSiteKey(Utf8ToNarrow(fields.host) + "@" + Utf8ToNarrow(fields.user));
    if (!TakePassword(ctx, options,
                      "Password for " + CliField(fields.user) + "@" + CliField(fields.host) + ": ",
                      options.user.has_value(), fields.password))
        return kCliError;
    if (!ctx.prepareToWrite())
        return kCliError;
    const SiteOpResult result = ctx.doc.AddSite(fields);
    if (result.status != OpStatus::Done && CliSayLockRefusal(ctx, "")) // site.ds.lock unusable
        return kCliError;
    if (result.status != OpStatus::Done) {
        // The one refusal: host and user name are taken.
        ctx.err << "quarnel-cli: a site with the host " << CliField(fields.host) << " and the user "
                << CliField(fields.anonymous ? "anonymous" : fields.user) << " exists already\n";
        return kCliError;
    }
    const int listStatus = ReportSiteListSaved(ctx, result.listSaved);
    return ReportSettingsSaved(ctx, result.settingsError) == kCliOk ? listStatus : kCliError;
}

// Why the file at `path` cannot be imported, worded for the CLI; empty when it can be read. The
// import itself tests the same, but its messages are the window's.
std::string ImportFileProblem(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return CliField(path) + ": " + CliErrnoText(errno);
    struct stat st {};
    std::string problem;
    if (fstat(fd, &st) != 0)
        problem = CliField(path) + ": " + CliErrnoText(errno);
    else if (!S_ISREG(st.st_mode))
        problem = CliField(path) + ": not a regular file";
    else if (st.st_size > 64 * 1024 * 1024)
        problem = CliField(path) + ": larger than 64 MiB, the most an import reads";
    close(fd);
    return problem;
}

// Standard input read whole into an anonymous file in memory, which the import then opens by
// its /proc path as it opens any file: the same bounds, nothing written to disk. -1 after saying
// why on ctx.err.
int StandardInputAsFile(CliContext& ctx) {
    constexpr std::size_t kMost = 64 * 1024 * 1024;
    const int fd = static_cast<int>(memfd_create("quarnel-import", MFD_CLOEXEC));
    if (fd < 0) {
        ctx.err << "quarnel-cli: cannot import standard input: " << CliErrnoText(errno) << '\n';
        return -1;
    }
    std::size_t total = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ReadOnce(STDIN_FILENO, buffer, sizeof buffer);
        std::string problem;
        if (n < 0)
            problem = CliErrnoText(errno);
        else if ((total += static_cast<std::size_t>(n)) > kMost)
            problem = "larger than 64 MiB, the most an import reads";
        else if (n > 0 && write(fd, buffer, static_cast<std::size_t>(n)) != n)
            problem = CliErrnoText(errno);
        if (!problem.empty()) {
            ctx.err << "quarnel-cli: cannot import standard input: " << problem << '\n';
            close(fd);
            return -1;
        }
        if (n == 0)
            return fd;
    }
}

int RunImport(CliContext& ctx, const CliArgs& cliArgs) {
    const std::vector<std::string>& args = cliArgs.operands;
    if (args.size() != 1)
        throw CliUsageError("import takes one file (- for standard input)");
    // "-" is standard input; "./-" a file of that name.
    const bool standardInput = args[0] == "-";
    int inputFd = -1;
    std::string path = args[0];
    if (standardInput) {
        inputFd = StandardInputAsFile(ctx);
        if (inputFd < 0)
            return kCliError;
        path = "/proc/self/fd/" + std::to_string(inputFd);
    } else if (const std::string problem = ImportFileProblem(path); !problem.empty()) {
        ctx.err << "quarnel-cli: cannot import " << problem << '\n';
        return kCliError;
    }
    struct CloseInput {
        int fd;
        ~CloseInput() {
            if (fd >= 0)
                close(fd);
        }
    } closeInput{inputFd};
    if (!ctx.prepareToWrite())
        return kCliError;
    const ImportResult result = ctx.doc.ImportSites(path);
    if (result.status != OpStatus::Done && CliSayLockRefusal(ctx, ""))
        return kCliError;
    if (result.status != OpStatus::Done) {
        // A file that changed meanwhile.
        ctx.err << "quarnel-cli: cannot import " << (standardInput ? "standard input" : CliField(path))
                << '\n';
        return kCliError;
    }
    if (!result.listSaved) {
        // Nothing of the file reached site.ds: none of its sites is in the list.
        ReportSiteListSaved(ctx, false);
        ctx.err << "quarnel-cli: imported no site\n";
        return kCliError;
    }
    if (!ctx.quiet) {
        ctx.err << "quarnel-cli: imported " << result.added << (result.added == 1 ? " site" : " sites")
                << ", skipped " << result.skipped << " already in the list";
        const std::pair<std::size_t, const char*> bad[] = {
            {result.emptyHosts, " with an empty host"},
            {result.badHosts, " with blanks or control characters in the host"},
            {result.longKeys, " whose host and user are longer than a site key may be (255 bytes)"},
        };
        for (const auto& [count, reason] : bad)
            if (count != 0)
                ctx.err << ", " << count << reason;
        ctx.err << '\n';
    }
    return kCliOk;
}

const CommandRegistrar sitesCommand{
    {"sites", "sites", "list the sites: key, host, port, user, nickname, protocol", RunSites, false, true}};
const CommandRegistrar addCommand{
    {"add", "add --host H [--user U [--password-file FILE | --password P] | --anonymous] [OPTION...]",
     "add a site (refused when one with the same host and user exists). The host must not hold blanks "
     "or control characters; the port is 1 to 65535 (when not given, the protocol's: 21, 990 for "
     "ftps, 22 for sftp). ftpes is FTP with TLS asked for before the login, ftps FTP with TLS from "
     "the connect on; a certificate or SSH host key that does not verify is accepted with `trust`. The "
     "site key (host, or host@user) names a directory: at most 255 bytes. The password is the first "
     "line of FILE, or asked for without echo when standard input is a terminal, or else the first "
     "line of standard input (`pass show ftp | quarnel-cli add ...`; input that ends at once is "
     "refused); --password P is unsafe: other users of the machine can read it in the process list",
     RunAdd, true, false, SiteOptionTable(true)}};
const CommandRegistrar importCommand{
    {"import", "import FILE|-",
     "add the sites of a text file (-: standard input; at most 64 MiB), one "
     "[ftp://][user:password@]host[:port] a line; says on standard error how many were imported "
     "and how many skipped as already in the list. A line whose host is empty, holds blanks or "
     "control characters, or makes a site key (host@user) over 255 bytes is skipped and counted "
     "by its reason. When site.ds cannot be written, no site is imported",
     RunImport, true}};

} // namespace
