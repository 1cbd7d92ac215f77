#pragma once
// The records of the listing commands (tree, export, search, find, new) in the three forms a
// script may ask for: tab-separated lines made safe for a terminal (the default), one JSON object
// a line (--json), or the fields as they are, each record ended by a NUL byte (-0, --null). One
// writer makes all three, gathering the output in large blocks.

#include "cli/CliOptions.h"

#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

class CFTPDir;
class CFTPFile;

enum class ListFormat { Tsv, Json, Null };

struct ListOptions {
    ListFormat format = ListFormat::Tsv;
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max(); // --limit N: records at most
};

// The options of the listings: --json, -0 / --null, --limit N.
const CliOptionTable& ListOptionTable();
// `own` and then the listing options, for a listing command's table.
CliOptionTable WithListOptions(CliOptionTable own);

// The listing options given. Throws CliUsageError for a bad --limit or two formats.
ListOptions TakeListOptions(const CliArgs& args);

// `text` as the inside of a JSON string: '"' and '\\' escaped, every control character (C0, DEL
// and U+0080..U+009F) as \u00XX, and each byte that is not part of UTF-8 as U+FFFD, so that the
// output is valid UTF-8 JSON whatever the input (the exact bytes are in the url field).
void AppendJsonText(std::string& out, std::string_view text);

class CListWriter {
public:
    CListWriter(std::ostream& out, const ListOptions& options);
    ~CListWriter() { Flush(); }
    CListWriter(const CListWriter&) = delete;
    CListWriter& operator=(const CListWriter&) = delete;

    ListFormat Format() const { return m_format; }
    // True once --limit records are written: the caller stops.
    bool Full() const { return m_count >= m_limit; }

    // Shown text (UTF-8) as this format writes a field: escaped for a terminal (tsv), as the
    // inside of a JSON string (json), as it is (null).
    void AppendText(std::string& out, std::string_view shown) const;

    // One entry; `newMark` as stored (tsv and null print it, json says whether it is set).
    // `location`, `site` and `url` are in this format's form already (AppendText;
    // `site` and `url` are used by json only). Nothing is written once Full().
    void Entry(bool isDir, std::int32_t newMark, std::uint64_t size, std::string_view location,
               std::string_view site, std::string_view url);
    // The same for a catalogue entry, every field made from the record.
    void Entry(const CFTPDir* dir);
    void Entry(const CFTPFile* file);
    // A record of one field in this format's form (export's URLs).
    void Record(std::string_view field);

    void Flush();

private:
    void EndRecord();

    std::ostream& m_out;
    ListFormat m_format;
    std::uint64_t m_limit;
    std::uint64_t m_count = 0;
    std::string m_text;
};
