// Listing parsers over lines as real servers send them.
#include "platform/FtpListing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct LineCase {
    const char* server;
    std::string line;
    bool parsed;
    std::string name;
    bool isDir;
    uint64_t size;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.server << ": \"" << c.line << "\"";
}

class ListLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ListLine, ParsesOrSkips) {
    const LineCase& c = GetParam();
    FtpEntry entry;
    entry.name = "stale";
    ASSERT_EQ(ParseListLine(c.line, entry), c.parsed);
    if (!c.parsed)
        return;
    EXPECT_EQ(entry.name, c.name);
    EXPECT_EQ(entry.isDir, c.isDir);
    EXPECT_EQ(entry.size, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Unix, ListLine,
    ::testing::Values(
        LineCase{"vsftpd", "drwxr-xr-x    2 0        0            4096 Dec 07 08:34 sub", true, "sub", true,
                 0},
        LineCase{"vsftpd", "-rw-r--r--    1 0        0        5368709120 Dec 07 08:34 big.bin", true,
                 "big.bin", false, 5368709120ull},
        LineCase{"vsftpd", "lrwxrwxrwx    1 0        0               5 Dec 07 08:34 link -> a.txt", true,
                 "link", false, 5},
        LineCase{"pyftpdlib", "-rw-r--r--   1 root     root     6442450944 Dec 07 08:36 big", true, "big",
                 false, 6442450944ull},
        LineCase{"pyftpdlib", "drwxr-xr-x   2 root     root         4096 Dec 07 08:36 a b", true, "a b", true,
                 0},
        LineCase{"ProFTPD", "drwxr-xr-x   5 ftp      ftp          4096 Mar  1  2019 pub", true, "pub", true,
                 0},
        LineCase{"ProFTPD", "-rw-r--r--   1 ftp      ftp      18446744073709551615 Jan  1  2000 max", true,
                 "max", false, UINT64_MAX},
        LineCase{"busybox", "-rw-r--r--    1 root     root            3 Jan  1 00:00 a.txt", true, "a.txt",
                 false, 3},
        LineCase{"no group", "-rw-r--r--   1 owner        1234 Jul 14 2021 report.pdf", true, "report.pdf",
                 false, 1234},
        LineCase{"ls long-iso", "-rw-r--r-- 1 u g 77 2024-01-31 12:00 iso.txt", true, "iso.txt", false, 77},
        LineCase{"owner named like a month", "-rw-r--r-- 1 jan dec 42 Feb  3 10:00 f", true, "f", false, 42},
        LineCase{"spaces kept", "-rw-r--r--   1 u g 9 Dec 07 08:34   two  spaces ", true, "  two  spaces ",
                 false, 9},
        LineCase{"CRLF", "-rw-r--r--   1 u g 9 Dec 07 08:34 crlf.txt\r", true, "crlf.txt", false, 9},
        LineCase{"ACL mark", "drwxr-xr-x+  3 u g 4096 Dec 07 08:34 acl", true, "acl", true, 0},
        LineCase{"GBK", "drwxr-xr-x 2 u g 4096 Dec 07 08:34 \xc4\xe3\xba\xc3", true, "\xc4\xe3\xba\xc3", true,
                 0},
        LineCase{"UTF-8", "-rw-r--r-- 1 u g 1 Dec 07 08:34 \xe4\xbd\xa0\xe5\xa5\xbd.txt", true,
                 "\xe4\xbd\xa0\xe5\xa5\xbd.txt", false, 1},
        LineCase{"link to dir is a file", "lrwxrwxrwx 1 u g 4 Dec 07 08:34 up -> ../x", true, "up", false, 4},
        LineCase{"device", "crw-rw-rw- 1 0 0 1, 3 Dec 07 08:34 null", true, "null", false, 3},
        LineCase{"total", "total 12", false, "", false, 0},
        LineCase{"dot", "drwxr-xr-x 2 u g 4096 Dec 07 08:34 .", false, "", false, 0},
        LineCase{"dotdot", "drwxr-xr-x 2 u g 4096 Dec 07 08:34 ..", false, "", false, 0},
        LineCase{"no name", "drwxr-xr-x 2 u g 4096 Dec 07 08:34", false, "", false, 0},
        LineCase{"size too large", "-rw-r--r-- 1 u g 18446744073709551616 Dec 07 08:34 f", false, "", false,
                 0},
        LineCase{"no date", "-rw-r--r-- 1 u g 12 whatever f", false, "", false, 0},
        LineCase{"bad mode", "xrw-r--r-- 1 u g 12 Dec 07 08:34 f", false, "", false, 0},
        LineCase{"slash in name", "-rw-r--r-- 1 u g 12 Dec 07 08:34 a/b", false, "", false, 0},
        LineCase{"CR in name", "-rw-r--r-- 1 u g 12 Dec 07 08:34 a\rb", true, "a\rb", false, 12},
        LineCase{"NUL in name", std::string("-rw-r--r-- 1 u g 12 Dec 07 08:34 a\0b", 35), false, "", false,
                 0},
        LineCase{"empty", "", false, "", false, 0}));

INSTANTIATE_TEST_SUITE_P(
    Windows, ListLine,
    ::testing::Values(LineCase{"IIS", "01-15-20  03:45PM       <DIR>          Program Files", true,
                               "Program Files", true, 0},
                      LineCase{"IIS", "01-15-20  03:45PM                 1234 readme.txt", true, "readme.txt",
                               false, 1234},
                      LineCase{"IIS 4-digit year", "12-31-2019  11:59AM           6442450944 disk.img\r",
                               true, "disk.img", false, 6442450944ull},
                      LineCase{"IIS 24h", "07-04-21  17:05       <DIR>          logs", true, "logs", true, 0},
                      LineCase{"IIS GBK", "07-04-21  05:05PM       <DIR>          \xd6\xd0\xce\xc4", true,
                               "\xd6\xd0\xce\xc4", true, 0},
                      LineCase{"IIS dot", "07-04-21  05:05PM       <DIR>          .", false, "", false, 0},
                      LineCase{"bad date", "7-4-21  05:05PM       <DIR>          x", false, "", false, 0},
                      LineCase{"bad size", "07-04-21  05:05PM       12a4          x", false, "", false, 0},
                      LineCase{"no name", "07-04-21  05:05PM       <DIR>", false, "", false, 0}));

class MlsdLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(MlsdLine, ParsesOrSkips) {
    const LineCase& c = GetParam();
    FtpEntry entry;
    ASSERT_EQ(ParseMlsdLine(c.line, entry), c.parsed);
    if (!c.parsed)
        return;
    EXPECT_EQ(entry.name, c.name);
    EXPECT_EQ(entry.isDir, c.isDir);
    EXPECT_EQ(entry.size, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Facts, MlsdLine,
    ::testing::Values(
        LineCase{"pyftpdlib", "modify=20261207083445;perm=el;size=4096;type=dir;unique=fe00ga72121; a b",
                 true, "a b", true, 0},
        LineCase{"pyftpdlib", "modify=20261207083445;perm=r;size=6442450944;type=file;unique=fe00g; big",
                 true, "big", false, 6442450944ull},
        LineCase{"ProFTPD", "modify=20190301120000;perm=adfr;size=12;type=file;UNIX.mode=0644; notes.txt\r",
                 true, "notes.txt", false, 12},
        LineCase{"ProFTPD link",
                 "modify=20190301120000;perm=adfr;size=9;type=OS.unix=slink:/x;UNIX.mode=0777; ln", true,
                 "ln", false, 9},
        LineCase{"symlink type", "type=OS.unix=symlink;size=3; l", true, "l", false, 3},
        LineCase{"upper case", "Type=DIR;Size=0; Up", true, "Up", true, 0},
        LineCase{"no size", "type=file; nosize", true, "nosize", false, 0},
        LineCase{"leading space in name", "type=file;size=1;  lead", true, " lead", false, 1},
        LineCase{"semicolon in name", "type=file;size=1; a;b=c d", true, "a;b=c d", false, 1},
        LineCase{"cdir", "type=cdir;perm=el; /pub", false, "", false, 0},
        LineCase{"pdir", "type=pdir;perm=el; ..", false, "", false, 0},
        LineCase{"dot as dir", "type=dir; .", false, "", false, 0},
        LineCase{"no type", "size=3;perm=r; x", false, "", false, 0},
        LineCase{"unknown type", "type=weird;size=3; x", false, "", false, 0},
        LineCase{"bad size", "type=file;size=-3; x", false, "", false, 0},
        LineCase{"no facts", " x", false, "", false, 0},
        LineCase{"not facts", "hello world", false, "", false, 0},
        LineCase{"no name", "type=file;size=3;", false, "", false, 0},
        LineCase{"space in a fact value", "type=OS.unix=slink:a b;size=2; ln", true, "ln", false, 2},
        LineCase{"space in a fact name", "type=file;si ze=2; x", false, "", false, 0}));

// Lines captured from real servers, kept as data: tests/platform/data/server_listings.txt.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 >= field.size()) {
            out += field[i];
        } else if (field[i + 1] == 'x' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += field[i + 1] == 'r' ? '\r' : field[i + 1];
            ++i;
        }
    }
    return out;
}

TEST(ServerListings, CapturedLinesParseAsTheServerMeantThem) {
    std::ifstream in(std::string(QUARNEL_TEST_SOURCE_DIR) + "/platform/data/server_listings.txt");
    ASSERT_TRUE(in) << "data file missing";
    std::string row;
    int lineNo = 0, cases = 0;
    while (std::getline(in, row)) {
        ++lineNo;
        if (row.empty() || row[0] == '#')
            continue;
        std::vector<std::string> f;
        std::stringstream fields(row);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        f.resize(7);
        SCOPED_TRACE("server_listings.txt:" + std::to_string(lineNo) + " (" + f[0] + ")");
        ++cases;
        const std::string line = Unescape(f[2]);
        const std::string& result = f[3];
        const bool mlsd = f[1] == "mlsd";
        std::string dirId = "stale";
        std::vector<FtpEntry> entries = ParseListing(line, mlsd, &dirId);
        if (result == "skip" || result == "cdir") {
            EXPECT_TRUE(entries.empty());
            EXPECT_EQ(dirId, result == "cdir" ? f[6] : "");
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, Unescape(f[4]));
        EXPECT_EQ(entries[0].isDir, result == "dir");
        EXPECT_EQ(entries[0].size, std::stoull(f[5]));
        EXPECT_EQ(entries[0].id, f[6]);
        EXPECT_EQ(dirId, "");
    }
    EXPECT_GT(cases, 30);
}

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
