// What the engine writes to the log: failed updates and saves, by site key and file, never the
// site's password, even when a server repeats it.
#include "model/Log.h"
#include "tests/update/EngineTestSupport.h"

#include <fstream>
#include <sstream>

using namespace enginetest;

namespace {

constexpr const char* kPassword = "Tr0ub4dor-s3cret";

// Refuses every login with a reply that repeats what it was sent, as a careless server might.
class EchoingRefusal : public IFtpConnection {
public:
    FtpResult Connect(const std::string& host, int32_t, const std::string& user,
                      const std::string& password) override {
        m_reply = "530 USER " + user + " PASS " + password + " refused for ftp://" + user + ":" + password +
                  "@" + host + "/";
        return {FtpStatus::Refused, 67, m_reply};
    }
    FtpResult ChangeDir(const std::string&) override { return {FtpStatus::Refused, 9, "no"}; }
    FtpResult List(FtpDirListing&) override { return {FtpStatus::Refused, 9, "no"}; }
    std::string LastReply() const override { return m_reply; }
    void Close() override {}

private:
    std::string m_reply;
};

class ErrorLog : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m_strLog = m_appDir->path() + "/quarnel.log";
        ASSERT_TRUE(LogToFile(m_strLog, LogLevel::Info));
    }
    void TearDown() override {
        StopLogging();
        EngineTest::TearDown();
    }
    std::string LogText() const {
        std::ifstream in(m_strLog);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string m_strLog;
};

TEST_F(ErrorLog, AFailedUpdateIsLoggedWithoutThePassword) {
    CFTPSite* site = testtree::AddSite(m_sites, "fake.example", "alice", kPassword);
    SetFtpConnectionFactory([](const std::atomic<bool>*) -> std::unique_ptr<IFtpConnection> {
        return std::make_unique<EchoingRefusal>();
    });
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
    ASSERT_NE(site->GetStatusText().find(kPassword), std::string::npos); // the server did repeat it

    const std::string log = LogText();
    EXPECT_NE(log.find("ERROR site fake.example@alice: update ended with status 1"), std::string::npos)
        << log;
    EXPECT_EQ(log.find(kPassword), std::string::npos) << log;
}

TEST_F(ErrorLog, AFailedSaveNamesTheFileInTheStatusAndTheLog) {
    m_fake->Put("/pub/a", 5);
    CFTPSite* site = testtree::AddSite(m_sites, "fake.example", "alice", kPassword);
    // Data is a file: the pair cannot be written.
    std::ofstream(m_appDir->path() + "/Data") << "x";
    ASSERT_TRUE(UpdateAndWait(site));
    const std::string data = m_appDir->path() + "/Data";
    EXPECT_NE(site->GetStatusText().find("\n保存失败:" + data + ": "), std::string::npos)
        << site->GetStatusText();
    EXPECT_NE(site->m_nSaveError.load(), 0);

    const std::string log = LogText();
    EXPECT_NE(log.find("site fake.example@alice: save failed: " + data + ": "), std::string::npos) << log;
    EXPECT_EQ(log.find(kPassword), std::string::npos) << log;
}

} // namespace
