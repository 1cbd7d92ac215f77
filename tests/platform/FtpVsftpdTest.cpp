// The libcurl FTP client against vsftpd: no MLSD, its own `ls -l` style, real permissions.
#include "platform/FtpClient.h"
#include "tests/platform/EntrySet.h"
#include "tests/support/FtpServer.h"
#include "tests/support/vsftpd_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sys/stat.h>
#include <tuple>

namespace {

using platformtest::EntrySet;
using platformtest::Set;

TEST(FtpVsftpd, ListsATreeWithHugeFilesLinksAndOddNames) {
    ftptest::TempDir dir;
    const std::string root = dir.path() + "/root";
    const std::string gbk = "\xd6\xd0\xce\xc4"; // 中文 in GBK
    ftptest::TreeBuilder(root)
        .Apply("pub/\n"
               "pub/huge.img\t6442450944\n"
               "pub/exact4g\t4294967296\n"
               "pub/small.txt\t12\n"
               "pub/latest\t-> huge.img\n"
               "pub/up\t-> ..\n"
               "pub/with space/\n"
               "pub/.hidden\t1\n")
        .Dir("pub/" + gbk)
        .File("pub/" + gbk + "/" + gbk + ".txt", 7)
        .Dir("locked")
        .Dir("nolist");
    ::chmod((root + "/locked").c_str(), 0700); // vsftpd serves as "ftp": no way in
    ::chmod((root + "/nolist").c_str(), 0711); // may enter, may not read

    auto server = ftptest::VsftpdServer::Start(root);
    auto conn = CreateFtpConnection();
    FtpResult r = conn->Connect("127.0.0.1", server->port(), "anonymous", "quarnel@example.com");
    ASSERT_TRUE(r.ok()) << r.text;

    std::vector<FtpEntry> entries;
    ASSERT_TRUE(conn->ChangeDir("/pub").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    // Links are listed as what they are (files), not followed; dot files stay hidden.
    EXPECT_EQ(Set(entries), (EntrySet{{"huge.img", false, 6442450944ull},
                                      {"exact4g", false, 4294967296ull},
                                      {"small.txt", false, 12},
                                      {"latest", false, 8},
                                      {"up", false, 2},
                                      {"with space", true, 0},
                                      {gbk, true, 0}}));

    ASSERT_TRUE(conn->ChangeDir("/pub/" + gbk).ok());
    ASSERT_TRUE(conn->List(entries).ok());
    EXPECT_EQ(Set(entries), (EntrySet{{gbk + ".txt", false, 7}}));

    ASSERT_TRUE(conn->ChangeDir("/pub/with space").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    EXPECT_TRUE(entries.empty());

    r = conn->ChangeDir("/locked");
    EXPECT_EQ(r.status, FtpStatus::Refused);
    EXPECT_EQ(conn->LastReply().substr(0, 3), "550");
    r = conn->ChangeDir("/missing");
    EXPECT_EQ(r.status, FtpStatus::Refused);

    // vsftpd reports an unreadable directory as an empty listing that went well.
    ASSERT_TRUE(conn->ChangeDir("/nolist").ok());
    r = conn->List(entries);
    EXPECT_TRUE(r.ok()) << r.text;
    EXPECT_TRUE(entries.empty());

    ASSERT_TRUE(conn->ChangeDir("/").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    EXPECT_EQ(Set(entries), (EntrySet{{"pub", true, 0}, {"locked", true, 0}, {"nolist", true, 0}}));

    const auto commands = server->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "USER anonymous"), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "MLSD"), 0);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "CWD /pub/with space"), 1);
}

// vsftpd has no MLSD, and what it makes of LIST's argument is not one path: "LIST /a/b" for a
// directory it cannot open lists /a filtered by "b". Nothing is asked of it by path.
TEST(FtpVsftpd, NothingIsListedByPath) {
    ftptest::TempDir dir;
    const std::string root = dir.path() + "/root";
    ftptest::TreeBuilder(root).File("pub/a", 1).Dir("pub/with space");
    auto server = ftptest::VsftpdServer::Start(root);
    auto conn = CreateFtpConnection();
    ASSERT_TRUE(conn->Connect("127.0.0.1", server->port(), "anonymous", "quarnel@example.com").ok());
    for (const char* path : {"/", "/pub", "/pub/with space"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(conn->CanListPath(path));
        FtpDirListing listing;
        EXPECT_EQ(conn->ListPath(path, listing).status, FtpStatus::Failed);
    }
    const auto commands = server->Commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) { return c.rfind("LIST", 0) == 0; }),
              0);
}

} // namespace
