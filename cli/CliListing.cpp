#include "cli/CliListing.h"

#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/Records.h"
#include "ops/Location.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"

#include <charconv>
#include <ostream>

namespace {

constexpr std::size_t kBlock = 1 << 16;

template <class Number> void AppendNumber(std::string& out, Number value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

// The length of the UTF-8 sequence at `pos`, or 0 when the bytes there are not one.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const std::size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (n == 0 || text.size() - pos < n || !IsValidUtf8(text.substr(pos, n)))
        return 0;
    return n;
}

constexpr bool JsonPlain(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

// The URL of an entry as `url --escaped` gives it for its location.
std::string EntryUrl(const CFTPSite& site, const std::string& location, bool isDir) {
    std::string key, path;
    SplitLocation(location, key, path);
    return ExactUrl(site, path) + (isDir ? "/" : "");
}

} // namespace

const CliOptionTable& ListOptionTable() {
    static const CliOptionTable table = {
        {"json",
         0,
         {},
         "one JSON object a line: site, location, url (percent-encoded from the stored names, "
         "as url --escaped gives it; a directory's ends in \"/\"), kind (\"dir\" or \"file\"), "
         "size, new (true or false). Valid UTF-8: '\"', '\\' and control characters "
         "escaped (\\u00XX), a byte that is not UTF-8 as U+FFFD (the url keeps the exact "
         "bytes)"},
        {"null",
         '0',
         {},
         "the fields as without it, nothing escaped, each record ended by a NUL byte instead "
         "of a newline (xargs -0, sort -z)"},
        {"limit", 0, "N", "stop after N records; the exit status stays what it would be"},
    };
    return table;
}

CliOptionTable WithListOptions(CliOptionTable own) {
    const CliOptionTable& list = ListOptionTable();
    own.insert(own.end(), list.begin(), list.end());
    return own;
}

ListOptions TakeListOptions(const CliArgs& args) {
    ListOptions options;
    bool formatGiven = false;
    for (const CliArgs::Given& given : args.given) {
        const std::string_view name = given.option->name;
        if (name == "json" || name == "null") {
            const ListFormat format = name == "json" ? ListFormat::Json : ListFormat::Null;
            if (formatGiven && options.format != format)
                throw CliUsageError("--json and --null exclude each other");
            options.format = format;
            formatGiven = true;
        } else if (name == "limit") {
            const std::string& value = given.value;
            std::uint64_t limit = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), limit);
            if (value.empty() || error != std::errc() || end != value.data() + value.size())
                throw CliUsageError("--limit takes a number of records (0 or more)");
            options.limit = limit;
        }
    }
    return options;
}

void AppendJsonText(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto escape = [&](unsigned char byte) {
        const char code[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        out.append(code, 6);
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (JsonPlain(c)) {
            std::size_t end = i + 1;
            while (end < text.size() && JsonPlain(static_cast<unsigned char>(text[end])))
                ++end;
            out.append(text.data() + i, end - i);
            i = end;
        } else if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else {
                escape(c);
            }
            ++i;
        } else if (const std::size_t n = Utf8SequenceAt(text, i); n == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD for a byte that is not UTF-8
            ++i;
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            escape(static_cast<unsigned char>(text[i + 1])); // a C1 control
            i += 2;
        } else {
            out.append(text.data() + i, n);
            i += n;
        }
    }
}

CListWriter::CListWriter(std::ostream& out, const ListOptions& options)
    : m_out(out), m_format(options.format), m_limit(options.limit) {
    m_text.reserve(kBlock + 4096);
}

void CListWriter::AppendText(std::string& out, std::string_view shown) const {
    switch (m_format) {
    case ListFormat::Tsv:
        AppendCliField(out, shown);
        break;
    case ListFormat::Json:
        AppendJsonText(out, shown);
        break;
    case ListFormat::Null:
        out += shown;
        break;
    }
}

void CListWriter::Entry(bool isDir, std::int32_t newMark, std::uint64_t size, std::string_view location,
                        std::string_view site, std::string_view url) {
    if (Full())
        return;
    if (m_format == ListFormat::Json) {
        m_text += "{\"site\":\"";
        m_text += site;
        m_text += "\",\"location\":\"";
        m_text += location;
        m_text += "\",\"url\":\"";
        m_text += url;
        m_text += isDir ? "\",\"kind\":\"dir\",\"size\":" : "\",\"kind\":\"file\",\"size\":";
        AppendNumber(m_text, size);
        m_text += newMark != 0 ? ",\"new\":true}" : ",\"new\":false}";
    } else {
        m_text += isDir ? "D\t" : "F\t";
        AppendNumber(m_text, newMark);
        m_text += '\t';
        AppendNumber(m_text, size);
        m_text += '\t';
        m_text += location;
    }
    EndRecord();
}

void CListWriter::Entry(const CFTPDir* dir) {
    if (Full())
        return;
    std::string location, site, url;
    AppendText(location, ShownLocation(dir));
    if (m_format == ListFormat::Json) {
        const CFTPSite* owner = dir->GetSite();
        AppendText(site, ShownField(owner->GetKey()));
        url = EntryUrl(*owner, GetLocation(dir), true);
    }
    Entry(true, dir->m_bNew, 0, location, site, url);
}

void CListWriter::Entry(const CFTPFile* file) {
    if (Full())
        return;
    std::string location, site, url;
    AppendText(location, ShownLocation(file));
    if (m_format == ListFormat::Json) {
        const CFTPSite* owner = file->GetSite();
        AppendText(site, ShownField(owner->GetKey()));
        url = EntryUrl(*owner, GetLocation(file), false);
    }
    Entry(false, file->m_bNew, file->m_nSize, location, site, url);
}

void CListWriter::Record(std::string_view field) {
    if (Full())
        return;
    m_text += field;
    EndRecord();
}

void CListWriter::EndRecord() {
    m_text += m_format == ListFormat::Null ? '\0' : '\n';
    ++m_count;
    if (m_text.size() >= kBlock)
        Flush();
}

void CListWriter::Flush() {
    if (!m_text.empty())
        m_out.write(m_text.data(), static_cast<std::streamsize>(m_text.size()));
    m_text.clear();
}
