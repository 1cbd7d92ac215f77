#include "cli/CliText.h"

#include "cli/Command.h"
#include "model/FileError.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"

#include <cstdint>
#include <cstring>
#include <ostream>

std::string CliShownPath(const CFTPSite* site, const std::string& narrow) {
    return ShownPath(site, narrow);
}

namespace {

// The length of the UTF-8 sequence starting at `pos`, or 0 when the bytes there are not one.
std::size_t Utf8Length(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t n = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        n = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        n = 4;
    if (n == 0 || text.size() - pos < n || !IsValidUtf8(text.substr(pos, n)))
        return 0;
    return n;
}

} // namespace

namespace {

// Bytes that CliField does not copy as they are: controls, DEL, backslash and every non-ASCII byte
// (which is looked at as part of a UTF-8 sequence).
constexpr bool NeedsLook(unsigned char c) {
    return c < 0x20 || c >= 0x7F || c == '\\';
}

struct LookTable {
    bool look[256];
    constexpr LookTable() : look() {
        for (int c = 0; c < 256; ++c)
            look[c] = NeedsLook(static_cast<unsigned char>(c));
    }
};
constexpr LookTable kLook;

} // namespace

std::size_t CliPlainLength(std::string_view text) {
    // Eight bytes at a time: a word with no byte below 0x20, none of 0x7F or above, and no
    // backslash. Each test may flag a word that is plain after all, never the other way round,
    // and a flagged word is looked at byte by byte.
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word | (word + kOnes)) & kHighs) // a byte of 0x7F or above
            break;
        if (((word - 0x2020202020202020ull) & kHighs) | hasZero(word ^ (kOnes * '\\')))
            break;
    }
    while (i < text.size() && !kLook.look[static_cast<unsigned char>(text[i])])
        ++i;
    return i;
}

void AppendCliField(std::string& field, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    // Most names are plain printable ASCII: find the first byte that is not and copy up to it.
    std::size_t i = CliPlainLength(text);
    field.append(text.data(), i);
    if (i == text.size())
        return;
    auto escape = [&](unsigned char byte) {
        const char hex[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        field.append(hex, 4);
    };
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (!kLook.look[c]) {
                // A run of plain bytes goes in as one block.
                std::size_t end = i + 1;
                while (end < text.size() && !kLook.look[static_cast<unsigned char>(text[end])])
                    ++end;
                field.append(text.data() + i, end - i);
                i = end;
                continue;
            }
            if (c == '\t')
                field += "\\t";
            else if (c == '\n')
                field += "\\n";
            else if (c == '\r')
                field += "\\r";
            else if (c == '\\')
                field += "\\\\";
            else
                escape(c);
            ++i;
            continue;
        }
        const std::size_t n = Utf8Length(text, i);
        if (n == 0) {
            escape(c); // not UTF-8: a lone byte could still be a C1 control to some terminals
            ++i;
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            escape(static_cast<unsigned char>(text[i + 1])); // U+0080..U+009F by its number
            i += 2;
        } else {
            field.append(text.data() + i, n);
            i += n;
        }
    }
}

std::string CliField(std::string_view text) {
    std::string field;
    field.reserve(text.size());
    AppendCliField(field, text);
    return field;
}

CFTPSite* CliFindSite(CQuarnelDoc& doc, const std::string& typedKey) {
    if (CFTPSite* site = doc.FindSiteByKey(typedKey))
        return site;
    if (CFTPSite* site = doc.FindSiteByKey(Utf8ToNarrow(typedKey)))
        return site;
    for (CFTPSite* site : doc.m_siteList)
        if (ShownField(site->GetKey()) == typedKey)
            return site;
    // A key copied from the output, where its control characters are escaped.
    for (CFTPSite* site : doc.m_siteList)
        if (CliField(ShownField(site->GetKey())) == typedKey)
            return site;
    return nullptr;
}

CFTPSite* CliSiteOrSay(CliContext& ctx, const std::string& typedKey) {
    CFTPSite* site = CliFindSite(ctx.doc, typedKey);
    if (!site)
        ctx.err << "quarnel-cli: no site has the key " << CliField(typedKey) << '\n';
    return site;
}

int ReportSiteListSaved(CliContext& ctx, bool listSaved) {
    if (listSaved)
        return kCliOk;
    const FileError& error = ctx.doc.m_lastListSaveError;
    ctx.err << "quarnel-cli: could not write " << (error.path.empty() ? "site.ds" : CliFileErrorText(error))
            << '\n';
    return kCliError;
}

std::string TakeValue(const std::vector<std::string>& args, std::size_t& i) {
    if (i + 1 >= args.size())
        throw CliUsageError(args[i] + " needs a value");
    return args[++i];
}

std::string CliErrnoText(int error) {
    std::string text = ErrnoText(error);
    // The C library capitalises its texts as sentences; here they follow a "PATH: ".
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
        (text.size() < 2 || !(text[1] >= 'A' && text[1] <= 'Z')))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::string CliFileErrorText(const FileError& error) {
    if (error.errnoValue != 0)
        return CliField(error.path) + ": " + CliErrnoText(error.errnoValue);
    return CliField(error.path) + ": damaged file: " + CliField(error.message);
}
