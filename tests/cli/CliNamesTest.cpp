// Names as they are on real servers, end to end through quarnel-cli: a GBK server and a UTF-8
// server crawled over FTP, then shown and searched. What is shown is what is found.
#include "platform/TextCodec.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/FtpServer.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

TEST(CliNames, GbkAndUtf8ServersShownAndFoundAsMeant) {
    ftptest::TempDir work("quarnel-names");
    const std::string app = work.path() + "/app";
    std::filesystem::create_directory(app);
    ftptest::TreeBuilder gbk(work.path() + "/gbk");
    for (const char* name : {"目录/a.txt", "学习/b.txt", "资料/c.txt"})
        gbk.File(Utf8ToNarrow(name), 1);
    ftptest::TreeBuilder utf8(work.path() + "/utf8");
    for (const char* name : {"café/x", "文件/y", "Ĳssel/z"})
        utf8.File(name, 1);
    // quarnel-cli --dir APP ARGS...
    auto Cli = [&work, &app](std::vector<std::string> args) {
        return clitest::RunCli(work.path(), app, std::move(args));
    };
    auto gbkServer = ftptest::PyFtpServer::Start(gbk.root());
    auto utf8Server = ftptest::PyFtpServer::Start(utf8.root());
    ASSERT_TRUE(gbkServer && utf8Server);

    const std::string gbkPort = std::to_string(gbkServer->port());
    const std::string utf8Port = std::to_string(utf8Server->port());
    ASSERT_EQ(
        Cli({"add", "--host", "127.0.0.1", "--port", gbkPort, "--anonymous", "--nickname", "目录站"}).status,
        0);
    ASSERT_EQ(
        Cli({"add", "--host", "127.0.0.1", "--port", utf8Port, "--user", "user", "--password", "secret"})
            .status,
        0);
    ASSERT_EQ(Cli({"update", "--all"}).status, 0);

    // Typed text reads back as typed.
    EXPECT_NE(Cli({"sites"}).out.find("\t目录站\tftp\n"), std::string::npos);

    struct Case {
        const char* keyword;
        const char* location; // expected among the hits
    };
    const Case cases[] = {
        {"目录", "ftp://127.0.0.1/目录"},        {"学习", "ftp://127.0.0.1/学习"},
        {"资料", "ftp://127.0.0.1/资料"},        {"café", "ftp://127.0.0.1@user/café"},
        {"ĳssel", "ftp://127.0.0.1@user/Ĳssel"}, {"文件", "ftp://127.0.0.1@user/文件"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyword);
        const clitest::CliRun found = Cli({"search", c.keyword});
        EXPECT_NE(found.out.find(std::string(c.location) + "\n"), std::string::npos) << found.out;
        EXPECT_EQ(found.out.find("Ŀ¼"), std::string::npos);
    }
    const clitest::CliRun tree = Cli({"tree", "127.0.0.1"});
    EXPECT_NE(tree.out.find("ftp://127.0.0.1/学习\n"), std::string::npos) << tree.out;
}

} // namespace
