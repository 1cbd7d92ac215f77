// quarnel-cli tree | export: a site's stored tree, or a part of it, as entry records or as URLs.
#include "cli/CliListing.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/TreeWalk.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include "platform/NameCharset.h"

#include <charconv>
#include <limits>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A stored name as the output shows it: as shown, in the writer's form. A name of plain ASCII is
// shown as it is stored, so only names with other bytes are converted. `site` set: read as a
// piece of a path, "/" by "/" (ShownPath), as URLs read it.
void AppendShownName(std::string& out, std::string_view name, NameCharset charset, const CListWriter& writer,
                     const CFTPSite* site = nullptr) {
    const std::size_t plain = CliPlainLength(name);
    if (plain == name.size() && writer.Format() != ListFormat::Json) {
        out += name;
        return;
    }
    for (std::size_t i = plain; i < name.size(); ++i)
        if (static_cast<unsigned char>(name[i]) >= 0x80) {
            writer.AppendText(out, site ? ShownPath(site, name) : ServerNameToUtf8(name, charset));
            return;
        }
    writer.AppendText(out, name);
}

// A stored name percent-encoded as ExactUrl writes a path's bytes ("/" kept).
void AppendUriName(std::string& out, std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~' || c == '/') {
            out += ch;
        } else {
            const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escaped, 3);
        }
    }
}

// The output text of every directory on the way down from the root, kept in one string: each
// directory's text is made once, from its parent's, and its entries' lines copy it.
class PathStack {
public:
    // `root` is the root directory's text, ending in "/".
    explicit PathStack(std::string root) : m_text(std::move(root)), m_ends{m_text.size()} {}

    // The directory at `depth` (1 for the root's children), its name added by `appendName`.
    template <class AppendName> std::string_view Enter(std::size_t depth, AppendName&& appendName) {
        m_text.resize(m_ends[depth - 1]);
        if (depth > 1)
            m_text += '/';
        appendName(m_text);
        m_ends.resize(depth);
        m_ends.push_back(m_text.size());
        return m_text;
    }
    // The text of the directory at `depth` on the way down, and "/" after it unless it is the root.
    void AppendDir(std::string& out, std::size_t depth) const {
        out.append(m_text.data(), m_ends[depth]);
        if (depth > 0)
            out += '/';
    }

private:
    std::string m_text;
    std::vector<std::size_t> m_ends;
};

// What follows the first "/" of the site's key, where a location's path would begin if the key
// held one ("ftp://KEY/..." is split at its first "/" after the scheme); usually empty.
std::string_view KeyTail(const std::string& key) {
    const std::size_t slash = key.find('/');
    return slash == std::string::npos ? std::string_view() : std::string_view(key).substr(slash);
}

CFTPSite* LoadedSite(CliContext& ctx, const std::string& key) {
    CFTPSite* site = CliSiteOrSay(ctx, key);
    if (site)
        site->EnsureLoaded();
    return site;
}

// The path part of a location (from the first "/" after the scheme), without a "/" at its end.
std::string LocationPath(const std::string& location) {
    std::string key, path;
    SplitLocation(location, key, path);
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

// A name typed for `part`: its stored bytes, as shown, or as the output printed it.
bool NameMatches(const CFTPSite& site, std::string_view stored, const std::string& part) {
    if (stored == part)
        return true;
    const std::string shown = ShownName(&site, stored);
    return shown == part || CliField(shown) == part;
}

struct TreePart {
    const CFTPDir* dir = nullptr;
    const CFTPFile* file = nullptr;
};

// The directory or file that PATH names in `site`: a location as tree prints it
// ("ftp://KEY/a/b"), or a path below the root ("a/b", "/a/b"), names stored, shown or as printed.
TreePart FindPart(const CFTPSite& site, const std::string& typedKey, std::string_view path) {
    if (path.rfind("ftp://", 0) == 0) {
        const std::string key = site.GetKey(), shownKey = ShownField(key);
        bool found = false;
        for (const std::string& prefix : {key, shownKey, CliField(shownKey), typedKey}) {
            const std::string start = "ftp://" + prefix;
            if (path.rfind(start, 0) == 0 && (path.size() == start.size() || path[start.size()] == '/')) {
                path.remove_prefix(start.size());
                found = true;
                break;
            }
        }
        if (!found)
            return {};
    }
    TreePart part{site.m_pRootDir.get(), nullptr};
    std::size_t pos = 0;
    while (pos < path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string_view::npos)
            next = path.size();
        const std::string name(path.substr(pos, next - pos));
        pos = next + 1;
        if (name.empty())
            continue;
        if (!part.dir)
            return {}; // below a file
        const CFTPDir* sub = nullptr;
        for (const CFTPDir* dir : part.dir->m_subDirs)
            if (NameMatches(site, dir->m_strName, name)) {
                sub = dir;
                break;
            }
        if (!sub) {
            for (const CFTPFile* file : part.dir->m_files)
                if (NameMatches(site, file->m_strName, name)) {
                    part.file = file;
                    break;
                }
            if (!part.file)
                return {};
        }
        part.dir = sub;
    }
    return part;
}

// Every entry below `top` (the site's root or one of its directories) in stored order, down to
// `maxDepth` levels of directories below it (0: its own entries only), as the writer's records.
void PrintTree(CListWriter& writer, CFTPSite& site, const CFTPDir& top, std::size_t maxDepth) {
    const NameCharset charset = site.GetNameCharset();
    const bool json = writer.Format() == ListFormat::Json;
    const bool isRoot = &top == site.m_pRootDir.get();
    const std::string key = site.GetKey();
    std::string locationRoot, siteText, urlRoot;
    writer.AppendText(locationRoot, (isRoot ? "ftp://" + ShownField(key) : ShownLocation(&top)) + "/");
    if (json) {
        writer.AppendText(siteText, ShownField(key));
        // Percent-encoded, so nothing of it needs escaping but a host as stored.
        writer.AppendText(
            urlRoot,
            ExactUrl(site, isRoot ? std::string(KeyTail(key)) : LocationPath(GetLocation(&top))) + "/");
    }
    PathStack paths(std::move(locationRoot));
    PathStack urls(std::move(urlRoot));
    std::string location, url;
    WalkStoredOrder(
        top,
        [&](const CFTPDir& dir, std::size_t depth) {
            if (writer.Full() || depth - 1 > maxDepth)
                return;
            const std::string_view path = paths.Enter(
                depth, [&](std::string& into) { AppendShownName(into, dir.m_strName, charset, writer); });
            if (json) {
                url = urls.Enter(depth, [&](std::string& into) { AppendUriName(into, dir.m_strName); });
                url += '/';
            }
            writer.Entry(true, dir.m_bNew, 0, path, siteText, url);
        },
        [&](const CFTPFile& file, std::size_t depth) {
            if (writer.Full() || depth > maxDepth)
                return;
            location.clear();
            paths.AppendDir(location, depth);
            AppendShownName(location, file.m_strName, charset, writer);
            if (json) {
                url.clear();
                urls.AppendDir(url, depth);
                AppendUriName(url, file.m_strName);
            }
            writer.Entry(false, file.m_bNew, file.m_nSize, location, siteText, url);
        });
}

std::size_t TakeCount(const std::string& option, const std::string& value) {
    std::size_t count = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (value.empty() || error != std::errc() || end != value.data() + value.size())
        throw CliUsageError(option + " takes a number (0 or more)");
    return count;
}

int RunTree(CliContext& ctx, const CliArgs& args) {
    const ListOptions options = TakeListOptions(args);
    std::size_t maxDepth = std::numeric_limits<std::size_t>::max();
    if (const std::string* depth = args.Last("depth"))
        maxDepth = TakeCount("--depth", *depth);
    const std::vector<std::string>& operands = args.operands;
    if (operands.empty() || operands.size() > 2)
        throw CliUsageError("tree takes one site key and at most one path");
    CFTPSite* site = LoadedSite(ctx, operands[0]);
    if (!site)
        return kCliError;
    auto lock = site->LockTree();
    TreePart part{site->m_pRootDir.get(), nullptr};
    if (operands.size() == 2) {
        part = FindPart(*site, operands[0], operands[1]);
        if (!part.dir && !part.file) {
            ctx.err << "quarnel-cli: " << CliField(operands[0]) << " holds no " << CliField(operands[1])
                    << '\n';
            return kCliError;
        }
    }
    CListWriter writer(ctx.out, options);
    if (part.file)
        writer.Entry(part.file); // a file is its own part
    else
        PrintTree(writer, *site, *part.dir, maxDepth);
    return kCliOk;
}

int RunExport(CliContext& ctx, const CliArgs& args) {
    const ListOptions options = TakeListOptions(args);
    if (args.operands.size() > 1)
        throw CliUsageError("unexpected argument " + args.operands[1]);
    if (args.operands.empty())
        throw CliUsageError("export needs a site key");
    const std::string& key = args.operands.front();
    const std::string format = args.Last("format") ? *args.Last("format") : "tsv";
    if (format != "tsv" && format != "urls" && format != "uris")
        throw CliUsageError("--format takes tsv, urls or uris");
    if (format != "tsv" && options.format == ListFormat::Json)
        throw CliUsageError("--json gives every entry with its url; it takes no --format " + format);
    CFTPSite* site = LoadedSite(ctx, key);
    if (!site)
        return kCliError;
    auto lock = site->LockTree();
    CListWriter writer(ctx.out, options);
    if (format == "tsv") {
        PrintTree(writer, *site, *site->m_pRootDir, std::numeric_limits<std::size_t>::max());
        return kCliOk;
    }
    // The URL of every file: the login of this very site and the file's path below its root,
    // readable (urls) or percent-encoded from the stored bytes for other programs (uris).
    const bool exact = format == "uris";
    const NameCharset charset = site->GetNameCharset();
    const std::string_view keyTail = KeyTail(site->GetKey());
    // The host goes in as stored in uris; every name of the path is percent-encoded, so needs no
    // escaping of its own.
    std::string root;
    writer.AppendText(root, exact ? ExactUrl(*site, keyTail)
                                  : ShownField(UrlPrefix(*site)) + ShownPath(site, keyTail));
    PathStack paths(root + "/");
    std::string line;
    WalkStoredOrder(
        *site->m_pRootDir,
        [&](const CFTPDir& dir, std::size_t depth) {
            if (writer.Full())
                return;
            paths.Enter(depth, [&](std::string& into) {
                if (exact)
                    AppendUriName(into, dir.m_strName);
                else
                    AppendShownName(into, dir.m_strName, charset, writer, site);
            });
        },
        [&](const CFTPFile& file, std::size_t depth) {
            if (writer.Full())
                return;
            line.clear();
            paths.AppendDir(line, depth);
            if (exact)
                AppendUriName(line, file.m_strName);
            else
                AppendShownName(line, file.m_strName, charset, writer, site);
            writer.Record(line);
        });
    return kCliOk;
}

const CommandRegistrar treeCommand{
    {"tree", "tree [OPTION...] KEY [PATH]",
     "the stored entries of a site, or of one directory (PATH as tree prints it, or a path below "
     "the root): D|F, new mark, size, location",
     RunTree, false, true,
     WithListOptions({{"depth", 0, "N", "N levels of directories below it (0: its own entries only)"}})}};
const CommandRegistrar exportCommand{
    {"export", "export [OPTION...] KEY",
     "a site's stored tree as entry lines (tsv) or as one ftp:// URL per file, readable (urls) or "
     "percent-encoded for curl and wget (uris)",
     RunExport, false, true,
     WithListOptions(
         {{"format", 0, "tsv|urls|uris", "entry lines (tsv, the default) or one URL per file"}})}};

} // namespace
