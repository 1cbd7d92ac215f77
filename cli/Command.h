#pragma once
// The command table of quarnel-cli. Each command lives in its own file and registers itself
// with a static registrar, so a new command is a new file and nothing else:
//
//     static int RunFoo(CliContext& ctx, const std::vector<std::string>& args) { ... return 0; }
//     static const CommandRegistrar fooCommand{{"foo", "foo ARG", "what foo does", RunFoo}};
//
// A command returns its exit status (0 ok, 1 error). It throws CliUsageError for a usage
// error (exit 2, the message and the command's usage go to standard error). Output is UTF-8,
// one record per line, fields separated by tabs; errors go to ctx.err.

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class CQuarnelDoc;

struct CliContext {
    CQuarnelDoc& doc;             // site list already loaded from DIR/site.ds
    std::ostream& out;            // standard output
    std::ostream& err;            // standard error
    std::string appDir;           // the program directory (--dir, or the executable's directory)
    bool siteListDamaged = false; // loading site.ds reported a fault (the message was printed)
};

using CommandFunction = std::function<int(CliContext& ctx, const std::vector<std::string>& args)>;

struct CliCommandInfo {
    std::string name;    // the word on the command line
    std::string usage;   // e.g. "tree KEY"
    std::string summary; // one line for --help
    CommandFunction run;
    // Commands that rewrite site.ds refuse to run over a damaged one, so that the sites after
    // the fault are not dropped for good.
    bool writesSiteList = false;
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
