// An update whose files cannot be written (a full disk): the site's status says so after what the
// run ended with, the run keeps its code, the old pair stays whole and no state.st of the new tree
// lands beside it, the close writes both later, and quarnel-cli update exits 1.

#include "tests/support/FileSizeLimit.h"
#include "tests/update/EngineTestSupport.h"
#include "update/UpdateTexts.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>

namespace enginetest {
namespace {

using SaveFailure = EngineTest;

using testsupport::CFileSizeLimit;

TEST_F(SaveFailure, FullDiskIsReportedAndLeavesTheOldPair) {
    m_fake->Put("/pub/a", 5);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    site->m_pRootDir->m_subDirs.GetAt(0)->m_bNew = 0; // the user opens pub
    for (int i = 0; i < 2000; ++i)
        m_fake->Put("/pub/new" + std::to_string(i), 1);
    m_events.Clear();
    {
        CFileSizeLimit limit(8192); // the new content.ct is about 30 KB, state.st 8 KB
        ASSERT_TRUE(UpdateAndWait(site));
    }
    const std::string failed = std::string(kStatusSucceeded) + kStatusSaveFailed;
    EXPECT_EQ(site->GetStatusText().rfind(failed, 0), 0u) << site->GetStatusText();
    EXPECT_GT(site->GetStatusText().size(), failed.size()); // and the system's reason
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->m_nSaveError.load(), EFBIG);
    EXPECT_EQ(m_events.StatusesOf(site).back().text, site->GetStatusText());
    EXPECT_EQ(ReadBytes(SiteFile(site, "content.ct")), kPubTreeContent);
    EXPECT_EQ(ReadBytes(SiteFile(site, "state.st")), kPubTreeStateAllNew);

    // The close writes the read marks: of this tree, so the pair.
    EXPECT_EQ(site->m_bStateDirty.load(), 1);
    ASSERT_TRUE(site->SaveState());
    CFTPSite copy;
    copy.m_strHost = site->m_strHost;
    copy.m_strUser = site->m_strUser;
    copy.m_strPassword = site->m_strPassword;
    copy.EnsureLoaded();
    ASSERT_EQ(copy.m_pRootDir->m_subDirs.GetCount(), 1u);
    const CFTPDir* pub = copy.m_pRootDir->m_subDirs.GetAt(0);
    EXPECT_EQ(pub->m_bNew, 0);
    ASSERT_EQ(pub->m_files.GetCount(), 2001u);
    EXPECT_EQ(pub->m_files.GetAt(0)->m_bNew, 1);
    EXPECT_EQ(pub->m_files.GetAt(2000)->m_bNew, 1);
}

TEST(SaveFailureCli, UpdateExitsOneAndPrintsWhyOnTheSiteLine) {
    const std::string cli = std::string(QUARNEL_BINARY_DIR) + "/bin/quarnel-cli";
    if (!std::filesystem::exists(cli))
        GTEST_SKIP() << "quarnel-cli is not built";
    ftptest::TempDir work("quarnel-save-failure");
    ftptest::TreeBuilder(work.path() + "/root").File("pub/a", 3);
    auto server = ftptest::PyFtpServer::Start(work.path() + "/root");
    const std::string app = work.path() + "/app";
    std::filesystem::create_directories(app);
    auto run = [&](const std::string& args) {
        const std::string command = cli + " --dir " + app + " " + args + " > " + work.path() + "/out 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(run("add --host 127.0.0.1 --port " + std::to_string(server->port()) + " --anonymous"), 0);
    // Data is a file: nothing can be written below it.
    std::ofstream(app + "/Data") << "in the way";

    EXPECT_EQ(run("update 127.0.0.1"), 1);
    const std::string output = ReadBytes(work.path() + "/out");
    EXPECT_NE(output.find("127.0.0.1\t2\t更新成功\\n保存失败:"), std::string::npos) << output;
    EXPECT_EQ(ReadBytes(app + "/Data"), "in the way");
}

} // namespace
} // namespace enginetest
