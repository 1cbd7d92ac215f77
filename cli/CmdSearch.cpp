// quarnel-cli search | new: the keyword search and the listing of new entries over all sites.
#include "cli/CliListing.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/QuarnelDoc.h"
#include "ops/SearchQuery.h"
#include "ops/ShownText.h"
#include "ops/SiteLoading.h"

#include <ostream>

namespace {

// The sites a search will walk, read on every core first: one after another, reading is most of
// a search's time.
void LoadSites(CliContext& ctx, const CSearchQuery* query = nullptr) {
    std::vector<CFTPSite*> sites;
    for (CFTPSite* site : ctx.doc.m_siteList)
        if (!query || query->SiteMayMatch(ShownField(site->GetKey()), ShownField(site->m_strNickname)))
            sites.push_back(site);
    EnsureSitesLoaded(sites);
}

void PrintFound(CliContext& ctx, const ListOptions& options) {
    CListWriter writer(ctx.out, options);
    for (const CFTPDir* dir : ctx.doc.m_foundDirs)
        writer.Entry(dir);
    for (const CFTPFile* file : ctx.doc.m_foundFiles)
        writer.Entry(file);
}

int RunSearch(CliContext& ctx, const CliArgs& args) {
    const ListOptions options = TakeListOptions(args);
    const std::vector<std::string>& words = args.operands;
    if (words.size() != 1)
        throw CliUsageError("search takes one keyword");
    if (words[0].empty())
        throw CliUsageError("the keyword is empty");
    LoadSites(ctx);
    ctx.doc.SearchAllSites(words[0]);
    PrintFound(ctx, options);
    // As grep: a script tells "found nothing" from the status alone.
    return ctx.doc.m_foundDirs.empty() && ctx.doc.m_foundFiles.empty() ? kCliError : kCliOk;
}

int RunFind(CliContext& ctx, const CliArgs& args) {
    const ListOptions options = TakeListOptions(args);
    // The words of the query may come as one argument or several.
    std::string text;
    for (const std::string& word : args.operands)
        text += (text.empty() ? "" : " ") + word;
    const CSearchQuery query = CSearchQuery::Parse(text);
    if (!query.Ok())
        throw CliUsageError(query.ErrorText());
    if (query.IsEmpty())
        throw CliUsageError("the query is empty");
    LoadSites(ctx, &query);
    ctx.doc.FindAllSites(query);
    PrintFound(ctx, options);
    return ctx.doc.m_foundDirs.empty() && ctx.doc.m_foundFiles.empty() ? kCliError : kCliOk;
}

int RunNew(CliContext& ctx, const CliArgs& args) {
    const ListOptions options = TakeListOptions(args);
    if (!args.operands.empty())
        throw CliUsageError("new takes no arguments");
    LoadSites(ctx);
    ctx.doc.ShowNewFiles(SiteScope::All);
    PrintFound(ctx, options);
    return kCliOk;
}

const CommandRegistrar searchCommand{
    {"search", "search [OPTION...] [--] KEYWORD",
     "entries of all sites whose name holds the keyword (any case; \"#new\": the new entries); exit "
     "status 1 when there is none. A keyword that is one of the options (-h, -q, -0) goes after \"--\"",
     RunSearch, false, true, ListOptionTable(), true}};
const CommandRegistrar findCommand{
    {"find", "find [OPTION...] [--] QUERY...",
     "entries of all sites that match a query: words that must all match, \"a phrase\", -word, "
     "wildcards * ?, size:>700M size:1G..4G, type:dir|file, ext:mkv,avi, new:, site:KEY, "
     "path:word, re:REGEX (see README); exit status 1 when there is none. A -word that is one of the "
     "options (-h, -q, -0) goes after \"--\"",
     RunFind, false, true, ListOptionTable(), true}};
const CommandRegistrar newCommand{{"new", "new [OPTION...]", "the new (unread) entries of all sites", RunNew,
                                   false, true, ListOptionTable()}};

} // namespace
