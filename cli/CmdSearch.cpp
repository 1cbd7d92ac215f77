// quarnel-cli search | new: the keyword search and the listing of new entries over all sites.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/QuarnelDoc.h"

#include <ostream>

namespace {

void PrintFound(CliContext& ctx) {
    for (const CFTPDir* dir : ctx.doc.m_foundDirs)
        PrintEntry(ctx.out, dir);
    for (const CFTPFile* file : ctx.doc.m_foundFiles)
        PrintEntry(ctx.out, file);
}

int RunSearch(CliContext& ctx, const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw CliUsageError("search takes one keyword");
    ctx.doc.SearchAllSites(args[0]);
    PrintFound(ctx);
    return 0;
}

int RunNew(CliContext& ctx, const std::vector<std::string>& args) {
    if (!args.empty())
        throw CliUsageError("new takes no arguments");
    ctx.doc.ShowNewFiles(SiteScope::All);
    PrintFound(ctx);
    return 0;
}

const CommandRegistrar searchCommand{
    {"search", "search KEYWORD",
     "entries of all sites whose name holds the keyword (any case; \"#new\": the new entries)", RunSearch}};
const CommandRegistrar newCommand{{"new", "new", "the new (unread) entries of all sites", RunNew}};

} // namespace
