// quarnel-cli [--dir DIR] COMMAND ...: the catalogue without the window.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/ProgramDir.h"
#include "ops/QuarnelDoc.h"

#include "QuarnelVersion.h"

#include <csignal>
#include <iostream>
#include <optional>

namespace {

void PrintHelp(std::ostream& out) {
    out << "usage: quarnel-cli [--dir DIR] [--verbose] COMMAND [ARG...]\n"
           "\n"
           "Works on the catalogue of the program directory (site.ds and Data/): DIR, else\n"
           "$QUARNEL_DIR, else this executable's directory when a site.ds is there, else\n"
           "$XDG_DATA_HOME/quarnel (~/.local/share/quarnel). Output is UTF-8, one record per\n"
           "line, fields separated by tabs. Exit status: 0 ok, 1 error, 2 usage error, 4 update\n"
           "skipped a site another program was updating.\n"
           "\n"
           "Failures are said on standard error, naming the file. --verbose adds the program's\n"
           "log there too: one line per event (files that could not be read or written, updates\n"
           "that failed, waits for another program's lock), with the time.\n"
           "\n"
           "Commands:\n";
    for (const CliCommandInfo* info : CommandRegistry::All())
        out << "  " << info->usage << "\n      " << info->summary << "\n";
}

int UsageError(const std::string& message, const CliCommandInfo* command) {
    std::cerr << "quarnel-cli: " << CliField(message) << "\n"; // it may quote what was typed
    if (command)
        std::cerr << "usage: quarnel-cli [--dir DIR] " << command->usage << "\n";
    else
        std::cerr << "usage: quarnel-cli [--dir DIR] COMMAND [ARG...]  (see --help)\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (`quarnel-cli update | head -1`) must not kill the process in the
    // middle of a crawl: the write fails instead, and the command stops and saves.
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::string> dir;
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
    std::vector<std::string> commandArgs(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    for (const std::string& arg : commandArgs) {
        if (arg == "--help") {
            std::cout << "usage: quarnel-cli [--dir DIR] " << command->usage << "\n  " << command->summary
                      << "\n";
            return 0;
        }
        if (arg == "--")
            break;
    }

    const ProgramDirChoice chosen = ChooseProgramDir(ProgramDirInputsOfProcess(dir));
    if (!chosen.error.empty()) {
        std::cerr << "quarnel-cli: " << chosen.error << "\n";
        return 1;
    }
    // The default directory is made by the first command that stores sites; until then every
    // other command sees an empty catalogue and leaves nothing behind.
    const bool noCatalogueYet = chosen.source == ProgramDirSource::Default && !chosen.exists;
    if (noCatalogueYet && command->writesSiteList) {
        if (const CResult<void> made = EnsureProgramDir(chosen.path); !made) {
            std::cerr << "quarnel-cli: " << CliField(made.error().Text()) << "\n";
            return 1;
        }
    }
    SetAppDir(chosen.path);
    CQuarnelDoc doc;
    const LoadOutcome loaded =
        noCatalogueYet && !command->writesSiteList ? LoadOutcome{} : doc.OnNewDocument();
    CliContext ctx{doc, std::cout, std::cerr, GetAppDir(), false};
    if (!loaded.ok) {
        std::cerr << "quarnel-cli: " << CliField(loaded.message) << "\n";
        if (!loaded.detail.empty())
            std::cerr << "quarnel-cli: " << CliField(loaded.detail) << "\n";
        if (!doc.m_bModified)
            return 1; // site.ds could be neither opened nor created
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
    doc.OnCloseDocument();
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "quarnel-cli: could not write the output\n";
        return status != 0 ? status : 1;
    }
    return status;
}
