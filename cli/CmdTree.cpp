// quarnel-cli tree | export: a site's stored tree, as entry lines or as URLs.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/TreeWalk.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"

#include "platform/NameCharset.h"

#include <charconv>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Output gathered in one large block and handed to the stream a block at a time: a million lines
// through the stream one field at a time cost more than building them.
class LineBuffer {
public:
    explicit LineBuffer(std::ostream& out) : m_out(out) { m_text.reserve(kBlock + 4096); }
    ~LineBuffer() { Flush(); }
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    std::string& Text() { return m_text; }
    // Ends a line, and writes the block out once it is full.
    void EndLine() {
        m_text += '\n';
        if (m_text.size() >= kBlock)
            Flush();
    }
    void Flush() {
        if (!m_text.empty())
            m_out.write(m_text.data(), static_cast<std::streamsize>(m_text.size()));
        m_text.clear();
    }

private:
    static constexpr std::size_t kBlock = 1 << 16;
    std::ostream& m_out;
    std::string m_text;
};

template <class Number> void AppendNumber(std::string& out, Number value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

// A stored name as the output shows it: as shown, then terminal-safe. A name of plain ASCII is
// shown as it is stored, so only names with other bytes are converted. `site` set: read as a
// piece of a path, "/" by "/" (ShownPath), as URLs read it.
void AppendShownName(std::string& out, std::string_view name, NameCharset charset,
                     const CFTPSite* site = nullptr) {
    const std::size_t plain = CliPlainLength(name);
    if (plain == name.size()) {
        out += name;
        return;
    }
    for (std::size_t i = plain; i < name.size(); ++i)
        if (static_cast<unsigned char>(name[i]) >= 0x80) {
            AppendCliField(out, site ? ShownPath(site, name) : ServerNameToUtf8(name, charset));
            return;
        }
    AppendCliField(out, name);
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

// "D|F <tab> new <tab> size <tab> location" for every entry, as PrintEntry writes each.
void PrintTree(std::ostream& out, CFTPSite& site) {
    auto lock = site.LockTree();
    const NameCharset charset = site.GetNameCharset();
    PathStack paths(CliField("ftp://" + ShownField(site.GetKey()) + "/"));
    LineBuffer buffer(out);
    std::string& text = buffer.Text();
    WalkStoredOrder(
        *site.m_pRootDir,
        [&](const CFTPDir& dir, std::size_t depth) {
            const std::string_view path =
                paths.Enter(depth, [&](std::string& into) { AppendShownName(into, dir.m_strName, charset); });
            text += "D\t";
            AppendNumber(text, dir.m_bNew);
            text += "\t0\t";
            text += path;
            buffer.EndLine();
        },
        [&](const CFTPFile& file, std::size_t depth) {
            text += "F\t";
            AppendNumber(text, file.m_bNew);
            text += '\t';
            AppendNumber(text, file.m_nSize);
            text += '\t';
            paths.AppendDir(text, depth);
            AppendShownName(text, file.m_strName, charset);
            buffer.EndLine();
        });
}

int RunTree(CliContext& ctx, const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw CliUsageError("tree takes one site key");
    CFTPSite* site = LoadedSite(ctx, args[0]);
    if (!site)
        return 1;
    PrintTree(ctx.out, *site);
    return 0;
}

int RunExport(CliContext& ctx, const std::vector<std::string>& args) {
    std::string key;
    std::string format = "tsv";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--format")
            format = TakeValue(args, i);
        else if (args[i].rfind("--format=", 0) == 0)
            format = args[i].substr(9);
        else if (key.empty() && !args[i].empty() && args[i][0] != '-')
            key = args[i];
        else
            throw CliUsageError("unexpected argument " + args[i]);
    }
    if (key.empty())
        throw CliUsageError("export needs a site key");
    if (format != "tsv" && format != "urls" && format != "uris")
        throw CliUsageError("--format takes tsv, urls or uris");
    CFTPSite* site = LoadedSite(ctx, key);
    if (!site)
        return 1;
    if (format == "tsv") {
        PrintTree(ctx.out, *site);
        return 0;
    }
    // The URL of every file: the login of this very site and the file's path below its root,
    // readable (urls) or percent-encoded from the stored bytes for other programs (uris).
    const bool exact = format == "uris";
    auto lock = site->LockTree();
    const NameCharset charset = site->GetNameCharset();
    const std::string_view keyTail = KeyTail(site->GetKey());
    // The host goes in as stored in uris; every name of the path is percent-encoded, so needs no
    // escaping of its own.
    PathStack paths(exact
                        ? CliField(ExactUrl(*site, keyTail)) + "/"
                        : CliField(ShownField(UrlPrefix(*site))) + CliField(ShownPath(site, keyTail)) + "/");
    LineBuffer buffer(ctx.out);
    std::string& text = buffer.Text();
    WalkStoredOrder(
        *site->m_pRootDir,
        [&](const CFTPDir& dir, std::size_t depth) {
            paths.Enter(depth, [&](std::string& into) {
                if (exact)
                    AppendUriName(into, dir.m_strName);
                else
                    AppendShownName(into, dir.m_strName, charset, site);
            });
        },
        [&](const CFTPFile& file, std::size_t depth) {
            paths.AppendDir(text, depth);
            if (exact)
                AppendUriName(text, file.m_strName);
            else
                AppendShownName(text, file.m_strName, charset, site);
            buffer.EndLine();
        });
    return 0;
}

const CommandRegistrar treeCommand{{"tree", "tree KEY",
                                    "every stored entry of a site: D|F, new mark, size, location", RunTree,
                                    false, true}};
const CommandRegistrar exportCommand{
    {"export", "export KEY [--format tsv|urls|uris]",
     "a site's stored tree as entry lines (tsv) or as one ftp:// URL per file, readable (urls) or "
     "percent-encoded for curl and wget (uris)",
     RunExport, false, true}};

} // namespace
