// quarnel-cli [--dir DIR] COMMAND ...: the catalogue without the window.
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
#include <iostream>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// `text` in lines of at most `width` columns (counting bytes: the help is ASCII), each but the
// first starting with `indent` blanks.
std::string Wrapped(const std::string& text, std::size_t indent, std::size_t width) {
    std::string wrapped, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            wrapped += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return wrapped + line;
}

void PrintHelp(std::ostream& out) {
    out << "usage: quarnel-cli [--dir DIR] [--quiet] [--verbose] COMMAND [ARG...]\n"
           "\n"
           "Works on the catalogue of the program directory (site.ds and Data/): DIR, else\n"
           "$QUARNEL_DIR, else this executable's directory when a site.ds is there, else\n"
           "$XDG_DATA_HOME/quarnel (~/.local/share/quarnel).\n"
           "\n"
           "Standard output carries the records only: UTF-8, one per line, fields separated by\n"
           "tabs (the listings also as JSON or NUL-ended records, see below). Failures are said\n"
           "on standard error, naming the file. The commands that only show the catalogue\n"
           "(sites, show, tree, search, find, new, url, export) change nothing in the program\n"
           "directory, and neither does a usage error.\n"
           "\n"
           "Options (--quiet may also follow the command):\n"
           "  --dir DIR      the program directory\n"
           "  --quiet, -q    no progress line and no import summary on standard error\n"
           "  --verbose, -v  the program's log on standard error too: one line per event (files\n"
           "                 that could not be read or written, updates that failed, waits for\n"
           "                 another program's lock), with the time, instead of the progress line\n"
           "  --help, -h     this text; COMMAND --help: the command's usage\n"
           "  --version      the version\n"
           "\n"
           "Exit status:\n"
           "  0    success\n"
           "  1    an error (said on standard error), also a damaged file read in part; search\n"
           "       or find found nothing\n"
           "  2    usage error\n"
           "  4    update skipped a site another program was updating\n"
           "  130  update interrupted by Ctrl-C (what it merged is saved)\n"
           "\n"
           "Listings for scripts (tree, export, search, find, new):\n"
           "  --json         one JSON object a line: site, location, url (percent-encoded from the\n"
           "                 stored names, as url --escaped gives it; a directory's ends in \"/\"),\n"
           "                 kind (\"dir\" or \"file\"), size, new (true or false). Valid UTF-8: '\"',\n"
           "                 '\\' and control characters escaped (\\u00XX), a byte that is not\n"
           "                 UTF-8 as U+FFFD (the url keeps the exact bytes)\n"
           "  -0, --null     the fields as without it, nothing escaped, each record ended by a NUL\n"
           "                 byte instead of a newline (xargs -0, sort -z)\n"
           "  --limit N      stop after N records; the exit status stays what it would be\n"
           "\n"
           "Status codes update prints (key <tab> code <tab> text):\n"
           "  0  not updated in this run\n"
           "  1  failed\n"
           "  2  succeeded\n"
           "  3  ended early: stopped, or the connection was lost\n"
           "  4  waiting or running\n"
           "\n"
           "Commands:\n";
    for (const CliCommandInfo* info : CommandRegistry::All())
        out << "  " << Wrapped(info->usage, 6, 100) << "\n      " << Wrapped(info->summary, 6, 100) << "\n";
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
    std::vector<std::string> args(argv + 1, argv + argc);
    // Other users see the command line in the process list: a password given on it is blanked
    // there as soon as it is copied.
    HideOptionValues(argc, argv, "--password");
    std::optional<std::string> dir;
    bool quiet = false, verbose = false;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp(std::cout);
            return 0;
        }
        if (arg == "--version") {
            std::cout << "quarnel-cli " QUARNEL_VERSION "\n";
            return 0;
        }
        if (arg == "--verbose" || arg == "-v") {
            LogToStandardError(LogLevel::Info);
            verbose = true;
        } else if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (arg == "--dir") {
            if (i + 1 >= args.size())
                return UsageError("--dir needs a directory", nullptr);
            dir = args[++i];
            if (dir->empty())
                return UsageError("--dir needs a directory", nullptr);
        } else if (arg.rfind("--dir=", 0) == 0) {
            dir = arg.substr(6);
            if (dir->empty())
                return UsageError("--dir needs a directory", nullptr);
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option " + arg, nullptr);
        } else {
            break;
        }
    }
    if (i == args.size())
        return UsageError("no command given", nullptr);
    const CliCommandInfo* command = CommandRegistry::Find(args[i]);
    if (!command)
        return UsageError("unknown command " + args[i], nullptr);
    std::vector<std::string> commandArgs;
    for (auto arg = args.begin() + static_cast<std::ptrdiff_t>(i) + 1; arg != args.end(); ++arg) {
        if (*arg == "--") {
            commandArgs.insert(commandArgs.end(), arg, args.end());
            break;
        }
        if (*arg == "--help") {
            std::cout << "usage: quarnel-cli [--dir DIR] " << command->usage << "\n  " << command->summary
                      << "\n";
            return 0;
        }
        // A global option that scripts tend to put last.
        if (*arg == "--quiet" || *arg == "-q")
            quiet = true;
        else
            commandArgs.push_back(*arg);
    }

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
        status = command->run(ctx, commandArgs);
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
