#pragma once
// The command table of quarnel-cli. Each command lives in its own file and registers itself
// with a static registrar, so a new command is a new file and nothing else:
//
//     static int RunFoo(CliContext& ctx, const CliArgs& args) { ... return 0; }
//     static const CommandRegistrar fooCommand{{"foo", "foo [OPTION...] ARG", "what foo does", RunFoo,
//                                                false, false, {{"bar", 'b', "N", "what --bar does"}}}};
//
// The command line is read by the command's table of options before the command runs (main.cpp):
// the command gets the options given and its operands, and an unknown option or a missing value
// is a usage error that never reaches it.
//
// A command returns its exit status (kCliOk, kCliError, ...). It throws CliUsageError for a usage
// error (exit 2, the message and the command's usage go to standard error). Output is UTF-8,
// one record per line, fields separated by tabs; errors go to ctx.err. Commands marked readOnly
// load the catalogue without changing anything on disk (no file, lock or clean-up) and must
// write nothing themselves.

#include "cli/CliOptions.h"

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class CQuarnelDoc;

// Exit statuses, as --help documents them.
inline constexpr int kCliOk = 0;
inline constexpr int kCliError = 1; // also: search found nothing
inline constexpr int kCliUsage = 2;
inline constexpr int kCliSiteBusy = 4;      // update skipped a site another program was updating
inline constexpr int kCliInterrupted = 130; // Ctrl-C, as a shell reports a process ended by SIGINT

struct CliContext {
    CQuarnelDoc& doc;             // site list already loaded from DIR/site.ds
    std::ostream& out;            // standard output
    std::ostream& err;            // standard error
    std::string appDir;           // the program directory (--dir, or the executable's directory)
    bool siteListDamaged = false; // loading site.ds reported a fault (the message was printed)
    bool quiet = false;           // --quiet: no progress line, no summaries on standard error
    bool showProgress = false;    // standard error is a terminal, and neither --quiet nor --verbose
    // A command that writes calls this once its arguments are checked, before its first write;
    // until then the run has changed nothing on disk, so a usage error leaves no trace. False
    // (said on `err`) when the program directory cannot be made.
    std::function<bool()> prepareToWrite = [] { return true; };
};

using CommandFunction = std::function<int(CliContext& ctx, const CliArgs& args)>;

struct CliCommandInfo {
    std::string name;    // the word on the command line
    std::string usage;   // e.g. "tree [OPTION...] KEY [PATH]"
    std::string summary; // one line for --help
    CommandFunction run;
    // Commands that rewrite site.ds refuse to run over a damaged one, so that the sites after
    // the fault are not dropped for good.
    bool writesSiteList = false;
    // Commands that only show what is stored: they leave the program directory as it was.
    bool readOnly = false;
    CliOptionTable options; // besides --help, --quiet, --verbose and --dir, which every command takes
    // A word that starts with "-" and is none of the options is an operand (find's "-word").
    bool dashWords = false;
};

class CliUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CommandRegistry {
public:
    static void Register(CliCommandInfo info);
    static const CliCommandInfo* Find(const std::string& name);
    static std::vector<const CliCommandInfo*> All(); // sorted by name
};

struct CommandRegistrar {
    explicit CommandRegistrar(CliCommandInfo info) { CommandRegistry::Register(std::move(info)); }
};

// Small helpers commands share (cli/CliText.cpp).
// A stored path ("a/b/x.txt") of `site` as UTF-8 for output, each "/"-separated name as shown.
class CFTPSite;
std::string CliShownPath(const CFTPSite* site, const std::string& narrow);
