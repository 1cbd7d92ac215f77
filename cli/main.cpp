// quarnel-cli [--dir DIR] COMMAND ...: the catalogue without the window.
#include "cli/CliListing.h"
#include "cli/CliOptions.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/ProgramDir.h"
#include "model/ReadOnlyAccess.h"
#include "model/SiteCatalogue.h"
#include "ops/QuarnelDoc.h"
#include "platform/ProcessGuard.h"

#include "QuarnelVersion.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const CliOptionTable kGlobalOptions = {
    {"dir", 0, "DIR", "the program directory"},
    {"quiet", 'q', {}, "no progress line and no import summary on standard error"},
    {"verbose",
     'v',
     {},
     "the program's log on standard error too: one line per event (files that could "
     "not be read or written, updates that failed, waits for another program's lock), "
     "with the time, instead of the progress line"},
    {"help", 'h', {}, "this text; COMMAND --help: the command's help"},
    {"version", 0, {}, "the version"},
};

// What every command takes after its name besides its own options.
const CliOptionTable kCommandOptions = {
    {"quiet", 'q', {}, "no progress line and no summary on standard error"},
    {"verbose", 0, {}, "the program's log on standard error too"},
    {"dir", 0, "DIR", "the program directory"},
    {"help", 'h', {}, "this text"},
};

// Paragraphs of the help, each wrapped at 80 columns.
void PrintParagraphs(std::ostream& out, std::initializer_list<std::string_view> paragraphs) {
    for (const std::string_view paragraph : paragraphs)
        out << CliWrapped(paragraph, 0) << "\n\n";
}

void PrintHelp(std::ostream& out) {
    out << "usage: quarnel-cli [--dir DIR] [--quiet] [--verbose] COMMAND [ARG...]\n\n";
    PrintParagraphs(
        out, {"Works on the catalogue of the program directory (site.ds and Data/): DIR, else $QUARNEL_DIR, "
              "else this executable's directory when a site.ds is there, else $XDG_DATA_HOME/quarnel "
              "(~/.local/share/quarnel).",
              "Standard output carries the records only: UTF-8, one per line, fields separated by tabs (the "
              "listings also as JSON or NUL-ended records, see below). Failures are said on standard error, "
              "naming the file. The commands that only show the catalogue (sites, show, tree, search, find, "
              "new, url, export) change nothing in the program directory, and neither does a usage error.",
              "Options take their value as --opt VALUE or --opt=VALUE; short ones may be grouped (-q0). A "
              "command's options may come anywhere after it, and --dir, --quiet, --verbose and --help too; "
              "\"--\" ends the options (search -- -rc1)."});
    out << "Options:\n" << CliOptionHelp({&kGlobalOptions}) << "\n";
    out << "Exit status:\n"
           "  0    success\n"
           "  1    an error (said on standard error), also a damaged file read in part;\n"
           "       search or find found nothing\n"
           "  2    usage error\n"
           "  4    update skipped a site another program was updating\n"
           "  130  update interrupted by Ctrl-C (what it merged is saved)\n"
           "\n"
           "Listings for scripts (tree, export, search, find, new):\n"
        << CliOptionHelp({&ListOptionTable()})
        << "\n"
           "Status codes update prints (key <tab> code <tab> text):\n"
           "  0  not updated in this run\n"
           "  1  failed\n"
           "  2  succeeded\n"
           "  3  ended early: stopped, or the connection was lost\n"
           "  4  waiting or running\n"
           "\n"
           "Commands (COMMAND --help: its options):\n";
    for (const CliCommandInfo* info : CommandRegistry::All())
        out << "  " << CliWrapped(info->usage, 6) << "\n      " << CliWrapped(info->summary, 6) << "\n";
}

void PrintCommandHelp(std::ostream& out, const CliCommandInfo& command) {
    out << "usage: quarnel-cli [--dir DIR] " << CliWrapped(command.usage, 31) << "\n\n  "
        << CliWrapped(command.summary, 2) << "\n\nOptions:\n"
        << CliOptionHelp({&command.options, &kCommandOptions});
}

// Why the program directory at `path` cannot be used, or empty.
std::string DirectoryProblem(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return CliField(path) + ": " +
               (errno == ENOENT ? std::string("no such directory") : CliErrnoText(errno));
    if (!S_ISDIR(st.st_mode))
        return CliField(path) + ": not a directory";
    return {};
}

int UsageError(const std::string& message, const CliCommandInfo* command) {
    std::cerr << "quarnel-cli: " << CliField(message) << "\n"; // it may quote what was typed
    if (command)
        std::cerr << "usage: quarnel-cli [--dir DIR] " << command->usage << "\n";
    else
        std::cerr << "usage: quarnel-cli [--dir DIR] COMMAND [ARG...]  (see --help)\n";
    return 2;
}

// True when standard output is a pipe or socket whose reader has gone.
bool OutputReaderGone() {
    if (errno == EPIPE)
        return true;
    pollfd out{STDOUT_FILENO, 0, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

} // namespace

int main(int argc, char** argv) {
    // Passwords pass through this process: from site.ds, a prompt or the command line.
    KeepSecretsOutOfCoreDumps();
    // A reader that goes away (`quarnel-cli update | head -1`) must not kill the process in the
    // middle of a crawl: the write fails instead, and the command stops and saves.
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);
    // The global options, up to the command.
    const CliParse global = ParseCliArguments(argc, argv, 1, {&kGlobalOptions}, {true, false});
    if (global.args.Has("help")) {
        PrintHelp(std::cout);
        return 0;
    }
    if (!global.error.empty())
        return UsageError(global.error, nullptr);
    if (global.args.Has("version")) {
        std::cout << "quarnel-cli " QUARNEL_VERSION "\n";
        return 0;
    }
    if (global.next >= argc)
        return UsageError("no command given", nullptr);
    const CliCommandInfo* command = CommandRegistry::Find(argv[global.next]);
    if (!command)
        return UsageError(std::string("unknown command ") + argv[global.next], nullptr);
    // The command's options and operands. Other users see the command line in the process list:
    // a password given on it is blanked there as soon as it is read.
    const CliParse parsed = ParseCliArguments(
        argc, argv, global.next + 1, {&command->options, &kCommandOptions}, {false, command->dashWords});
    if (parsed.args.Has("help")) {
        PrintCommandHelp(std::cout, *command);
        return 0;
    }
    if (!parsed.error.empty())
        return UsageError(parsed.error, command);
    std::optional<std::string> dir;
    for (const CliArgs* given : {&global.args, &parsed.args}) {
        if (const std::string* value = given->Last("dir")) {
            if (value->empty())
                return UsageError("--dir needs a directory", command);
            dir = *value;
        }
    }
    const bool quiet = global.args.Has("quiet") || parsed.args.Has("quiet");
    const bool verbose = global.args.Has("verbose") || parsed.args.Has("verbose");
    if (verbose)
        LogToStandardError(LogLevel::Info);

    const ProgramDirChoice chosen = ChooseProgramDir(ProgramDirInputsOfProcess(dir));
    if (!chosen.error.empty()) {
        std::cerr << "quarnel-cli: " << chosen.error << "\n";
        return 1;
    }
    // The default directory is made by the first command that stores sites; until then every
    // other command sees an empty catalogue and leaves nothing behind.
    const bool noCatalogueYet = chosen.source == ProgramDirSource::Default && !chosen.exists;
    if (!noCatalogueYet) {
        if (const std::string problem = DirectoryProblem(chosen.path); !problem.empty()) {
            std::cerr << "quarnel-cli: " << problem << "\n";
            return 1;
        }
    }
    SetAppDir(chosen.path);
    // Nothing is written, created or cleaned up until the command has checked its arguments.
    SetReadOnlyAccess(true);
    CQuarnelDoc doc;
    const LoadOutcome loaded = noCatalogueYet ? LoadOutcome{} : doc.OnNewDocument();
    CliContext ctx{doc, std::cout, std::cerr, GetAppDir(), false};
    ctx.quiet = quiet;
    // The log's lines would run into a line redrawn in place; they tell how it goes anyway.
    ctx.showProgress = !quiet && !verbose && isatty(STDERR_FILENO);
    ctx.prepareToWrite = [&] {
        if (command->readOnly)
            return false; // a read-only command that asks is wrong; refuse rather than write
        if (noCatalogueYet && !command->writesSiteList)
            return true; // no sites, so nothing to write for them
        if (noCatalogueYet) {
            if (const CResult<void> made = EnsureProgramDir(chosen.path); !made) {
                std::cerr << "quarnel-cli: " << CliFileErrorText(made.error()) << "\n";
                return false;
            }
        }
        SetReadOnlyAccess(false);
        RemoveStaleLeftovers(); // what writers killed part way left, before this one writes
        return true;
    };
    if (!loaded.ok) {
        std::cerr << "quarnel-cli: "
                  << (loaded.cause.path.empty() ? CliField(loaded.message) : CliFileErrorText(loaded.cause));
        if (!doc.m_bModified) {
            std::cerr << "\n";
            return 1; // site.ds could not be read at all
        }
        std::cerr << " (only the " << doc.m_siteList.GetCount() << " sites before the fault were read)\n";
        ctx.siteListDamaged = true;
        if (command->writesSiteList) {
            std::cerr << "quarnel-cli: site.ds is damaged; " << command->name
                      << " would rewrite it without the sites after the fault\n";
            return 1;
        }
    }

    int status = 0;
    try {
        status = command->run(ctx, parsed.args);
    } catch (const CliUsageError& e) {
        return UsageError(e.what(), command);
    } catch (const std::exception& e) {
        std::cerr << "quarnel-cli: " << CliField(e.what()) << "\n";
        status = 1;
    }
    // What was shown may lack what a damaged or unreadable file held: a script learns it from the
    // status, as from a failure.
    for (const CFTPSite* site : doc.m_siteList) {
        if (site->IsLoaded() && !site->m_loadFault.path.empty()) {
            std::cerr << "quarnel-cli: " << CliFileErrorText(site->m_loadFault)
                      << " (what was read before the fault is used)\n";
            status = status == 0 ? 1 : status;
        }
    }
    if (ctx.siteListDamaged)
        status = status == 0 ? 1 : status;
    if (!IsReadOnlyAccess())
        doc.OnCloseDocument();
    errno = 0;
    std::cout.flush();
    if (!std::cout) {
        // A reader that stopped reading (`tree KEY | head -1`) is no failure to report: end as
        // the other filters of a pipeline do, by the signal the write would have raised.
        if (command->readOnly && OutputReaderGone()) {
            std::signal(SIGPIPE, SIG_DFL);
            std::raise(SIGPIPE);
        }
        std::cerr << "quarnel-cli: could not write the output\n";
        return status != 0 ? status : 1;
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Freeing a loaded tree node by node takes about a third as long as reading it; the system
    // takes the memory back at once. Everything is written out by now. (Sanitizer builds tear
    // down, so that they check it.)
    std::cerr.flush();
    std::_Exit(status);
#else
    return status;
#endif
}
