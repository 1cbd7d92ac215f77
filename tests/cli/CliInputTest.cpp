// quarnel-cli given what people hand it: locations copied from its own output, a disk that fills
// up during a write. Passwords on standard input and import files with hosts no site can have are
// cases in data/sites.txt.
#include "tests/cli/CliRunner.h"
#include "tests/support/FtpServer.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using clitest::CliRun;

class CliInputTest : public ::testing::Test {
protected:
    // quarnel-cli --dir DIR ARGS...
    CliRun Run(std::vector<std::string> args, const clitest::RunOptions& options = {}) {
        return clitest::RunCli(m_io.path(), m_dir.path(), std::move(args), options);
    }

    ftptest::TempDir m_dir{"quarnel-cli-input"};
    ftptest::TempDir m_io{"quarnel-cli-input-io"};
};

// Every location `tree` prints goes through `url --escaped` as printed, and curl lists each
// directory and fetches each file (with its size) from the server the tree came from.
TEST_F(CliInputTest, EveryPrintedLocationReachesItsEntryThroughCurl) {
    ftptest::TempDir served{"quarnel-cli-served"};
    ftptest::TreeBuilder tree(served.path() + "/root");
    tree.File("dback\\slash/in.txt", 3)
        .File("two\\\\back", 4)
        .File("tab\there.txt", 5)
        .File("ctl\x01x.txt", 6)
        .File("esc\x1b[1m.txt", 7)
        .File("pct %41#?;.txt", 8)
        .File("sub dir/deep/f", 9)
        .Dir("empty");
    auto server = ftptest::PyFtpServer::Start(tree.root());
    const std::string port = std::to_string(server->port());
    ASSERT_EQ(Run({"add", "--host", "127.0.0.1", "--port", port, "--anonymous"}).status, 0);
    ASSERT_EQ(Run({"update", "127.0.0.1"}).status, 0);

    const CliRun listed = Run({"tree", "127.0.0.1"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("ftp://127.0.0.1/dback\\\\slash/in.txt\n"), std::string::npos) << listed.out;
    std::istringstream lines(listed.out);
    std::size_t dirs = 0, files = 0;
    for (std::string line; std::getline(lines, line);) {
        // "D|F <tab> new <tab> size <tab> location"
        const std::size_t sizeAt = line.find('\t', 2) + 1, locationAt = line.find('\t', sizeAt) + 1;
        const std::string location = line.substr(locationAt);
        const CliRun url = Run({"url", "--escaped", location});
        ASSERT_EQ(url.status, 0) << location << ": " << url.err;
        const std::string exact = url.out.substr(0, url.out.size() - 1);
        EXPECT_EQ(exact.find_first_not_of("!#$%&'()*+,-./0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]_"
                                          "abcdefghijklmnopqrstuvwxyz~"),
                  std::string::npos)
            << exact;
        const bool dir = line[0] == 'D';
        ++(dir ? dirs : files);
        if (dir) {
            EXPECT_EQ(exact.back(), '/') << exact;
        }
        if (location.find("\\x") != std::string::npos || location.find("\\t") != std::string::npos)
            continue; // curl refuses a control character in a path, escaped or not
        const std::string fetched = m_io.path() + "/fetched";
        std::filesystem::remove(fetched);
        const CliRun curl = clitest::RunProgram(m_io.path(), {"curl", "-sS", "--fail", "-o", fetched, exact});
        EXPECT_EQ(curl.status, 0) << location << " -> " << exact << ": " << curl.err;
        if (!dir) {
            EXPECT_EQ(std::to_string(ftptest::detail::ReadFile(fetched).size()),
                      line.substr(sizeAt, locationAt - sizeAt - 1))
                << location;
        }
    }
    EXPECT_EQ(dirs, 4u);
    EXPECT_EQ(files, 7u);
}

// An import that could not write the site list imported nothing, and says so.
TEST_F(CliInputTest, AnImportThatCannotBeWrittenStoresNothing) {
    ASSERT_EQ(Run({"add", "--host", "kept", "--anonymous"}).status, 0);
    // 3000 sites do not fit the 16 KiB the disk has left: none of them is stored or said to be.
    std::string many;
    for (int i = 0; i < 3000; ++i)
        many += "site" + std::to_string(i) + ".example\n";
    const std::string manyPath = m_io.path() + "/many.txt";
    std::ofstream(manyPath) << many;
    const CliRun full = Run({"import", manyPath}, {.fileSizeLimit = 16 * 1024});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err.find("imported 3000"), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("could not write"), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("imported no site"), std::string::npos) << full.err;
    EXPECT_EQ(Run({"sites"}).out.find("site1.example"), std::string::npos);
}

} // namespace
