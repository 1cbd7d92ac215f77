// Listing parsers over lines as real servers send them, most of them kept as data.
#include "platform/FtpListing.h"
#include "tests/support/DataText.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using testsupport::Unescape;

// Listing lines kept as data, one row a case: tests/platform/data/server_listings.txt (lines
// captured from real servers, parsed as a listing's body) and listing_lines.txt (lines given to
// the parser of one LIST or MLSD line). The form of a row is described in server_listings.txt.
struct ListingRow {
    std::string file;
    int line = 0;
    std::vector<std::string> fields; // server, form, line, result, name, size, id
    std::string error;               // what is wrong with the data, if anything
};

void PrintTo(const ListingRow& row, std::ostream* os) {
    *os << row.file << ":" << row.line;
}

std::vector<ListingRow> AllRows() {
    std::vector<ListingRow> rows;
    for (const std::string name : {"server_listings.txt", "listing_lines.txt"}) {
        std::ifstream in(std::string(QUARNEL_TEST_SOURCE_DIR) + "/platform/data/" + name);
        const std::size_t before = rows.size();
        std::string text;
        for (int number = 1; std::getline(in, text); ++number) {
            if (text.empty() || text[0] == '#')
                continue;
            ListingRow row{name, number, {}, {}};
            std::stringstream fields(text);
            for (std::string field; std::getline(fields, field, '\t');)
                row.fields.push_back(field);
            if (row.fields.size() < 4 || row.fields.size() > 7)
                row.error = "not 4 to 7 fields";
            row.fields.resize(7);
            rows.push_back(row);
        }
        if (rows.size() == before)
            rows.push_back({name, 0, std::vector<std::string>(7), "no rows read"});
    }
    return rows;
}

class ListingData : public ::testing::TestWithParam<ListingRow> {};

TEST_P(ListingData, ParsesAsTheServerMeantIt) {
    const ListingRow& row = GetParam();
    ASSERT_EQ(row.error, "");
    const std::vector<std::string>& f = row.fields;
    const std::string line = Unescape(f[2]), &form = f[1], &result = f[3];
    std::vector<FtpEntry> entries;
    std::string dirId = "stale";
    if (form == "list-line" || form == "mlsd-line") {
        FtpEntry entry;
        entry.name = "stale";
        if (form == "list-line" ? ParseListLine(line, entry) : ParseMlsdLine(line, entry))
            entries.push_back(entry);
        dirId = "";
    } else {
        ASSERT_TRUE(form == "list" || form == "mlsd") << form;
        entries = ParseListing(line, form == "mlsd", &dirId);
    }
    if (result == "skip" || result == "cdir") {
        EXPECT_TRUE(entries.empty());
        EXPECT_EQ(dirId, result == "cdir" ? f[6] : "");
        return;
    }
    ASSERT_TRUE(result == "file" || result == "dir") << result;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, Unescape(f[4]));
    EXPECT_EQ(entries[0].isDir, result == "dir");
    EXPECT_EQ(entries[0].size, std::stoull(f[5]));
    EXPECT_EQ(entries[0].id, f[6]);
    EXPECT_EQ(dirId, "");
}

INSTANTIATE_TEST_SUITE_P(Data, ListingData, ::testing::ValuesIn(AllRows()),
                         [](const ::testing::TestParamInfo<ListingRow>& test) {
                             std::string name = test.param.file.substr(0, test.param.file.find('.')) + "_" +
                                                std::to_string(test.param.line) + "_";
                             for (const char c : test.param.fields[0])
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(ListingReplies, TruncationIsToldApartFromACompleteListing) {
    struct Case {
        std::string reply;
        bool truncated;
    };
    const Case cases[] = {
        {"226 Output truncated to 10000 matches", true},                                  // pure-ftpd MLSD
        {"226-Options: -l \n226 Output truncated to 2000 matches", true},                 // pure-ftpd LIST
        {"226-Options: -a -l \n226 OUTPUT TRUNCATED TO 50 MATCHES", true},                // any case
        {"226 \xe8\xbe\x93\xe5\x87\xba\xe6\x88\xaa\xe7\x9f\xad\xe5\x88\xb0 10000", true}, // zh_CN, UTF-8
        {"226 \xca\xe4\xb3\xf6\xbd\xd8\xb6\xcc\xb5\xbd 10000", true},                     // zh_CN, GBK
        {"226 \xbf\xe9\xa5\x58\xba\x49\xb5\x75\xa8\xec 10000", true},                     // zh_TW, Big5
        {"226 Directory listing truncated", true},
        {"226-Options: -l \n226 3 matches total", false}, // pure-ftpd, complete
        {"226 Transfer complete", false},                 // vsftpd, pyftpdlib
        {"226 Transfer complete.", false},                // proftpd
        {"250 End", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsTruncatedListingReply(c.reply), c.truncated) << c.reply;
}

TEST(ListingReplies, UniqueFactIsAskedForOnlyWhereItIsOff) {
    struct Case {
        std::string feature;
        std::string command;
    };
    const Case cases[] = {
        {"MLST type*;perm*;size*;modify*;unique*;unix.mode;unix.uid;unix.gid;", ""},    // pyftpdlib
        {"MLST type*;size*;sizd*;modify*;UNIX.mode*;UNIX.uid*;UNIX.gid*;unique*;", ""}, // pure-ftpd
        {"MLST modify*;perm*;size*;type*;unique*;UNIX.group*;UNIX.groupname*;UNIX.mode*;UNIX.owner*;"
         "UNIX.ownername*;",
         ""}, // proftpd
        {"MLST type*;size*;modify*;unique;", "OPTS MLST type;size;unique;"},
        {" MLST Type*;Size*;Unique;\r", "OPTS MLST type;size;unique;"},
        {"MLST type*;size*;modify*;", ""}, // not offered at all
        {"MLSD", ""},
        {"MLSTX type*;unique;", ""},
        {"UTF8", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MlstOptsCommand(c.feature), c.command) << c.feature;
}

TEST(ParseListing, WholeBodiesKeepOrderAndSkipNoise) {
    const std::string unixBody =
        "total 8\r\n"
        "drwxr-xr-x    2 0        0            4096 Dec 07 08:34 .\r\n"
        "drwxr-xr-x    2 0        0            4096 Dec 07 08:34 ..\r\n"
        "-rw-r--r--    1 0        0               3 Dec 07 08:34 b\r\n"
        "garbage line\r\n"
        "drwxr-xr-x    2 0        0            4096 Dec 07 08:34 a\r\n"
        "-rw-r--r--    1 0        0               7 Dec 07 08:34 last"; // no line end
    std::vector<FtpEntry> entries = ParseListing(unixBody, false);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "b");
    EXPECT_EQ(entries[1].name, "a");
    EXPECT_TRUE(entries[1].isDir);
    EXPECT_EQ(entries[2].name, "last");
    EXPECT_EQ(entries[2].size, 7u);

    const std::string mlsdBody = "type=cdir;perm=el; /\n"
                                 "type=pdir;perm=el; ..\n"
                                 "type=file;size=5; f\n"
                                 "type=dir;size=4096; d\n";
    entries = ParseListing(mlsdBody, true);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "f");
    EXPECT_EQ(entries[1].name, "d");

    // MLSD lines are not LIST lines and the other way round: a mode mix-up yields nothing.
    EXPECT_TRUE(ParseListing(mlsdBody, false).empty());
    EXPECT_TRUE(ParseListing(unixBody, true).empty());
    EXPECT_TRUE(ParseListing("", false).empty());
    EXPECT_TRUE(ParseListing("\n\n\r\n", true).empty());
}

// A listing arrives in pieces cut anywhere, CRLF and multi-byte names included: parsed as it
// comes, it gives what the whole body gives.
TEST(ParseListing, PiecesCutAnywhereGiveTheWholeBodysEntries) {
    const std::string bodies[] = {
        "type=cdir;unique=801gd; /\r\ntype=file;size=5;unique=801g1; f one\r\n"
        "type=dir;unique=801g2; \xd6\xd0\xce\xc4\r\ntype=file;size=9; last",
        "total 8\r\n-rw-r--r--    1 0   0    3 Dec 07 08:34 b c\r\n"
        "drwxr-xr-x    2 0   0 4096 Dec 07 08:34 \xe4\xb8\xad\r\n\r\n"
        "lrwxrwxrwx    1 0   0    1 Dec 07 08:34 l -> b c\n",
    };
    auto key = [](const std::vector<FtpEntry>& entries) {
        std::vector<std::tuple<std::string, bool, uint64_t, std::string>> out;
        for (const FtpEntry& e : entries)
            out.emplace_back(e.name, e.isDir, e.size, e.id);
        return out;
    };
    for (const std::string& body : bodies) {
        const bool mlsd = body.rfind("type=", 0) == 0;
        std::string wholeId;
        const auto whole = key(ParseListing(body, mlsd, &wholeId));
        ASSERT_EQ(whole.size(), 3u) << body;
        for (size_t cut1 = 0; cut1 <= body.size(); ++cut1) {
            for (size_t cut2 = cut1; cut2 <= body.size(); cut2 += 7) {
                CListingParser parser(mlsd);
                parser.Feed(std::string_view(body).substr(0, cut1));
                parser.Feed(std::string_view(body).substr(cut1, cut2 - cut1));
                parser.Feed(std::string_view(body).substr(cut2));
                parser.Finish();
                EXPECT_EQ(parser.DirId(), wholeId);
                ASSERT_EQ(key(parser.TakeEntries()), whole) << cut1 << " " << cut2;
            }
        }
    }
}

// Where lines end: at the server's own line end, a CR alone (or an LF in a CRLF listing) staying
// in the name; and, read from a reader that turned every CR into LF, names joined back with a CR
// where a line that is no entry follows an entry, counted for the caller to check.
TEST(ParseListing, LinesEndWhereTheServerEndsThem) {
    const std::string l = "-rw-r--r--  1 0  0  9 Dec 07 08:34 ";
    struct Case {
        const char* what;
        std::string body;
        bool mlsd, rejoin;
        std::vector<std::string> names;
        size_t joins;
    };
    const Case cases[] = {
        {"CRLF, CR in a name", l + "cr\rname\r\n" + l + "b\r\n", false, false, {"cr\rname", "b"}, 0},
        // (The first line end decides: an LF in the first line's name would be taken for it.)
        {"CRLF, LF in a name", l + "b\r\n" + l + "lf\nname\r\n", false, false, {"b", "lf\nname"}, 0},
        {"CRLF, name ending in CR", l + "a\r\r\n", false, false, {"a\r"}, 0},
        {"LF alone, CR in a name", l + "cr\rname\n" + l + "b\r\n", false, false, {"cr\rname", "b\r"}, 0},
        {"MLSD CRLF, CR in a name",
         "type=file;size=9; cr\rname\r\ntype=dir; d\r\n",
         true,
         false,
         {"cr\rname", "d"},
         0},
        {"read with CR made LF",
         "total 2\n" + l + "cr\nname\n" + l + "b\n",
         false,
         true,
         {"cr\rname", "b"},
         1},
        {"read with CR made LF, name ending in CR", l + "a\n\n" + l + "b\n", false, true, {"a\r", "b"}, 1},
        {"read with CR made LF, a line planted in a name",
         l + "evil\n-rw-r--r-- 1 0 0 999999 Jan 01 2020 injected\n",
         false,
         true,
         {"evil", "injected"},
         0},
        {"MLSD read with CR made LF",
         "type=cdir; /\ntype=file;size=9; cr\nname\ntype=dir; d\n",
         true,
         true,
         {"cr\rname", "d"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (size_t cut = 0; cut <= c.body.size(); ++cut) {
            CListingParser parser(c.mlsd, c.rejoin);
            parser.Feed(std::string_view(c.body).substr(0, cut));
            parser.Feed(std::string_view(c.body).substr(cut));
            parser.Finish();
            EXPECT_EQ(parser.Joins(), c.joins);
            std::vector<std::string> names;
            for (const FtpEntry& entry : parser.TakeEntries())
                names.push_back(entry.name);
            ASSERT_EQ(names, c.names) << "cut at " << cut;
        }
    }
}

} // namespace
