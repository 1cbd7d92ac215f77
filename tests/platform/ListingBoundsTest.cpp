// What bounds a listing: its entries and the length of one line, never its bytes. A directory
// whose listing is far larger than a byte cap would allow is taken whole; one entry over the
// bound, or one line over its bound, gives the listing up. Against pyftpdlib on 127.0.0.1.
#include "platform/FtpClient.h"
#include "tests/support/FtpServer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using ftptest::PyFtpFault;

// Made-up links whose targets make every LIST line about 4 KB: more than 64 MiB of listing for
// a few thousand entries.
constexpr int kLinks = 17500;
static_assert(uint64_t(kLinks) * 4000 > (uint64_t(64) << 20), "the listing must pass 64 MiB");
constexpr int kMadeUp = 3000; // made-up files the server adds to one directory's listing

class ListingBoundsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ftptest::TreeBuilder tree(m_dir.path() + "/root");
        tree.File("huge/real", 1).File("many/real", 1).File("long/real", 1);
        // LIST, so that links show their targets.
        m_server =
            ftptest::PyFtpServer::Start(tree.root(), {.mlsd = false,
                                                      .faults = {{"huge", PyFtpFault::LongLines, 0, kLinks},
                                                                 {"many", PyFtpFault::ManyNames, 0, kMadeUp},
                                                                 {"long", PyFtpFault::LongName, 0, 5000}}});
    }

    ftptest::TempDir m_dir;
    std::unique_ptr<ftptest::PyFtpServer> m_server;
};

FtpLimits WithEntries(size_t entries) {
    FtpLimits limits;
    limits.maxListingEntries = entries;
    return limits;
}

FtpLimits WithLine(size_t bytes) {
    FtpLimits limits;
    limits.maxListingLineBytes = bytes;
    return limits;
}

TEST_F(ListingBoundsTest, EntriesAndLinesBoundAListingItsBytesDoNot) {
    struct Case {
        const char* what;
        const char* dir;
        FtpLimits limits;
        FtpStatus expected;
        size_t entries; // when listed whole
    };
    const Case cases[] = {
        {"past 64 MiB, default bounds", "/huge", {}, FtpStatus::Ok, kLinks + 1},
        {"entries at the bound", "/many", WithEntries(kMadeUp + 1), FtpStatus::Ok, kMadeUp + 1},
        {"one entry over the bound", "/many", WithEntries(kMadeUp), FtpStatus::TooLarge, 0},
        {"a long name, default bounds", "/long", {}, FtpStatus::Ok, 2},
        {"a line over its bound", "/long", WithLine(4096), FtpStatus::TooLarge, 0},
        {"a line at its bound", "/long", WithLine(5100), FtpStatus::Ok, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto conn = CreateFtpConnection(nullptr, c.limits);
        ASSERT_TRUE(conn->Connect("127.0.0.1", m_server->port(), "anonymous", "a@b.c").ok());
        ASSERT_TRUE(conn->ChangeDir(c.dir).ok());
        FtpDirListing listing;
        FtpResult r = conn->List(listing);
        EXPECT_EQ(r.status, c.expected) << r.text;
        EXPECT_EQ(listing.entries.size(), c.entries);
        if (c.expected == FtpStatus::TooLarge) {
            EXPECT_FALSE(r.text.empty());
        }
        if (std::string(c.dir) == "/huge") {
            for (const FtpEntry& e : listing.entries) // no name cut where a piece of the data ended
                EXPECT_TRUE(e.name == "real" || (e.name.size() == 8 && e.name[0] == 'k' && !e.isDir))
                    << e.name.substr(0, 40);
        }
    }
}

} // namespace
