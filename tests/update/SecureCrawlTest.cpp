// Crawls over FTP with TLS (explicit and implicit, vsftpd) and over SFTP (OpenSSH's sshd) store
// what a plain FTP crawl of the same tree stores, byte for byte; a server that is not trusted
// is refused before anything is sent, until its identity is accepted, and again when it changes;
// a connection lost half way is resumed as on plain FTP; a secure site whose settings file is
// damaged is not contacted at all.

#include "model/Log.h"
#include "model/SiteSecurity.h"
#include "model/SiteSettings.h"
#include "tests/support/ssh_server.h"
#include "tests/support/vsftpd_server.h"
#include "tests/update/EngineTestSupport.h"
#include "update/RefusedPeers.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace enginetest {
namespace {

const std::string kGbk = "\xd6\xd0\xce\xc4"; // 中文 in GBK

class SecureCrawl : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetFtpConnectionFactory(nullptr); // the real clients, with each site's security
        m_ssh = ftptest::SshServer::Start();
        const char* home = std::getenv("HOME");
        m_home = home ? home : "";
        setenv("HOME", m_ssh->KeyHome().c_str(), 1);
        ftptest::TreeBuilder(m_ssh->root())
            .Apply("pub/\npub/a b/c.txt\t7\npub/huge.img\t6442450944\nreadme\t5\n")
            .File("pub/" + kGbk + "/" + kGbk + ".txt", 3);
        for (int i = 0; i < 30; ++i)
            ftptest::TreeBuilder(m_ssh->root()).File("many/d" + std::to_string(i) + "/f", uint64_t(i));
        m_plain = ftptest::VsftpdServer::Start(m_ssh->root());
        m_explicit = ftptest::VsftpdServer::Start(m_ssh->root(), ftptest::VsftpdTls::Explicit);
        m_implicit = ftptest::VsftpdServer::Start(m_ssh->root(), ftptest::VsftpdTls::Implicit);
    }
    void TearDown() override {
        EngineTest::TearDown();
        setenv("HOME", m_home.c_str(), 1);
    }

    // A fresh site of `protocol` on 127.0.0.1:port (the only site), updated once.
    CFTPSite* Fresh(SiteProtocol protocol, int port, const std::string& pin = {}) {
        if (!m_sites.IsEmpty())
            m_sites.RemoveAt(0);
        std::filesystem::remove_all(DataDirPath());
        CFTPSite* site = protocol == SiteProtocol::Sftp
                             ? testtree::AddSite(m_sites, "127.0.0.1", m_ssh->user(), "", port)
                             : AddSite("127.0.0.1", port);
        CSiteSettings settings;
        settings.SetProtocol(protocol);
        settings.m_tlsPin = pin;
        site->SetSettings(settings);
        return site;
    }

    // Updates `site` once; its refused identity, if that was why it failed, is accepted.
    PeerIdentity UpdateAndAccept(CFTPSite* site) {
        EXPECT_TRUE(UpdateAndWait(site));
        const PeerIdentity refused = TakeRefusedPeer(site->GetKey()).value_or(PeerIdentity{});
        if (refused.kind == PeerIdentity::Kind::Certificate) {
            CSiteSettings settings = site->GetSettings();
            settings.m_tlsPin = refused.fingerprint;
            site->SetSettings(settings);
        } else if (refused.kind == PeerIdentity::Kind::HostKey) {
            EXPECT_TRUE(TrustHostKey(KnownHostsPath(), "127.0.0.1", site->m_nPort, refused.keyType,
                                     refused.keyBase64));
        }
        return refused;
    }

    std::string Stored(CFTPSite* site) {
        return ReadBytes(SiteFile(site, "content.ct")) + "|" + ReadBytes(SiteFile(site, "state.st"));
    }

    struct Secure {
        const char* name;
        SiteProtocol protocol;
        int port;
        const char* untrusted;
        const char* changed;
    };
    std::vector<Secure> Secures() const {
        return {{"explicit TLS", SiteProtocol::FtpExplicitTls, m_explicit->port(),
                 kFailureCertificateUntrusted, kFailureCertificateChanged},
                {"implicit TLS", SiteProtocol::FtpImplicitTls, m_implicit->port(),
                 kFailureCertificateUntrusted, kFailureCertificateChanged},
                {"SFTP", SiteProtocol::Sftp, m_ssh->port(), kFailureHostKeyUnknown, kFailureHostKeyChanged}};
    }

    std::unique_ptr<ftptest::SshServer> m_ssh;
    std::unique_ptr<ftptest::VsftpdServer> m_plain, m_explicit, m_implicit;
    std::string m_home;
};

TEST_F(SecureCrawl, EachProtocolStoresWhatPlainFtpStoresOnceTrusted) {
    CFTPSite* plainSite = Fresh(SiteProtocol::Ftp, m_plain->port());
    ASSERT_TRUE(UpdateAndWait(plainSite));
    ASSERT_EQ(plainSite->GetStatusText(), kStatusSucceeded);
    const std::string plain = Stored(plainSite);

    for (const Secure& s : Secures()) {
        SCOPED_TRACE(s.name);
        CFTPSite* site = Fresh(s.protocol, s.port);
        const PeerIdentity refused = UpdateAndAccept(site);
        EXPECT_FALSE(refused.empty());
        EXPECT_EQ(site->GetStatusText(), std::string(kStatusFailedPrefix) + s.untrusted);
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        EXPECT_EQ(Stored(site), plain);
    }
}

// Over TLS the listings come with STAT on a second login, which is held to the same pin: a server
// whose certificate changed between the two logins gets no STAT.
TEST_F(SecureCrawl, TheSecondLoginForStatIsHeldToThePin) {
    const std::string pin =
        UpdateAndAccept(Fresh(SiteProtocol::FtpExplicitTls, m_explicit->port())).fingerprint;
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "certificate replaced" : "same certificate");
        auto connection = CreateFtpConnection(nullptr, {}, {SiteProtocol::FtpExplicitTls, pin, {}});
        ASSERT_TRUE(
            connection->Connect("127.0.0.1", m_explicit->port(), kAnonymousUser, kAnonymousPassword).ok());
        ASSERT_TRUE(connection->OffersStatListing());
        if (replaced)
            m_explicit->ReplaceCertificate();
        std::vector<FtpStatListing> replies;
        EXPECT_EQ(connection->StatPaths({"/"}, replies).ok(), !replaced);
        EXPECT_EQ(connection->OffersStatListing(), !replaced);
        EXPECT_EQ(replies.size(), replaced ? 0u : 1u);
        if (!replaced) { // (a new certificate takes a restart, which ends the first session too)
            const auto& entries = replies[0].listing.entries;
            EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                                    [](const FtpEntry& e) { return e.name == "readme"; }));
        }
    }
}

TEST_F(SecureCrawl, AChangedIdentityIsRefusedUntilAcceptedAgain) {
    for (const Secure& s : Secures()) {
        SCOPED_TRACE(s.name);
        CFTPSite* site = Fresh(s.protocol, s.port);
        UpdateAndAccept(site);
        ASSERT_TRUE(UpdateAndWait(site));
        ASSERT_EQ(site->GetStatusText(), kStatusSucceeded);
        if (s.protocol == SiteProtocol::Sftp)
            m_ssh->ReplaceHostKey();
        else
            (s.protocol == SiteProtocol::FtpExplicitTls ? m_explicit : m_implicit)->ReplaceCertificate();
        const PeerIdentity refused = UpdateAndAccept(site);
        EXPECT_TRUE(refused.changed);
        EXPECT_EQ(site->GetStatusText(), std::string(kStatusFailedPrefix) + s.changed);
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    }
}

// Drops every session when the walk's fifth directory is asked for, once.
class DroppingOnce : public IServerConnection {
public:
    DroppingOnce(std::unique_ptr<IServerConnection> inner, std::function<void()> drop,
                 std::atomic<int>& calls)
        : m_inner(std::move(inner)), m_drop(std::move(drop)), m_calls(calls) {}
    FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                      const std::string& password) override {
        return m_inner->Connect(host, port, user, password);
    }
    FtpResult ChangeDir(const std::string& path) override {
        Count();
        return m_inner->ChangeDir(path);
    }
    using IServerConnection::List;
    FtpResult List(FtpDirListing& listing) override { return m_inner->List(listing); }
    bool CanListPath(const std::string& path) const override { return m_inner->CanListPath(path); }
    FtpResult ListPath(const std::string& path, FtpDirListing& listing) override {
        Count();
        return m_inner->ListPath(path, listing);
    }
    std::string LastReply() const override { return m_inner->LastReply(); }
    PeerIdentity RefusedPeer() const override { return m_inner->RefusedPeer(); }
    void Close() override { m_inner->Close(); }

private:
    void Count() {
        if (++m_calls == 5)
            m_drop();
    }
    std::unique_ptr<IServerConnection> m_inner;
    std::function<void()> m_drop;
    std::atomic<int>& m_calls;
};

TEST_F(SecureCrawl, ALostConnectionIsResumedOverTlsAndSftp) {
    CFTPSite* plainSite = Fresh(SiteProtocol::Ftp, m_plain->port());
    ASSERT_TRUE(UpdateAndWait(plainSite));
    const std::string plain = Stored(plainSite);
    for (const Secure& s : Secures()) {
        if (s.protocol == SiteProtocol::FtpImplicitTls)
            continue; // the same client as explicit TLS once the session stands
        SCOPED_TRACE(s.name);
        CFTPSite* site = Fresh(s.protocol, s.port);
        UpdateAndAccept(site);
        std::atomic<int> calls{0};
        const ConnectionSecurity security = SiteSecurity(*site);
        std::function<void()> drop = s.protocol == SiteProtocol::Sftp
                                         ? std::function<void()>([this] { m_ssh->DropSessions(); })
                                         : [this] { m_explicit->DropSessions(); };
        SetFtpConnectionFactory([&](const std::atomic<bool>* stop) -> std::unique_ptr<IServerConnection> {
            return std::make_unique<DroppingOnce>(CreateFtpConnection(stop, {}, security), drop, calls);
        });
        ASSERT_TRUE(UpdateAndWait(site));
        SetFtpConnectionFactory(nullptr);
        EXPECT_GE(calls.load(), 5);
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        EXPECT_EQ(Stored(site), plain);
    }
}

// The settings file of a site set up for TLS is damaged; the server at its address speaks plain
// FTP and would take the login. Nothing reaches it, and the refusal is logged with the file.
TEST_F(SecureCrawl, DamagedSettingsNeverLogInInTheClear) {
    auto server = ftptest::PyFtpServer::Start(m_ssh->root());
    const std::string log = m_appDir->path() + "/test.log";
    ASSERT_TRUE(LogToFile(log, LogLevel::Info));
    const std::string secure = "protocol=ftpes\ntls-pin=AB:CD\n";
    enum class Kind { Text, Fifo, None };
    struct Case {
        const char* what;
        Kind kind;
        std::string text;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"no settings: plain FTP, the login goes out", Kind::None, "", false},
        {"a line without '=' appended", Kind::Text, secure + "junk\n", true},
        {"the protocol line cut", Kind::Text, "protocol\ntls-pin=AB:CD\n", true},
        {"binary", Kind::Text,
         std::string("\x7f"
                     "ELF\x02\x01\0\0",
                     8),
         true},
        {"huge", Kind::Text, secure + std::string(1 << 20, '#'), true},
        {"a FIFO", Kind::Fifo, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!m_sites.IsEmpty())
            m_sites.RemoveAt(0);
        std::filesystem::remove_all(DataDirPath());
        const std::string path = SiteSettingsPath("127.0.0.1@" + server->user());
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        if (c.kind == Kind::Text)
            std::ofstream(path, std::ios::binary) << c.text;
        if (c.kind == Kind::Fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        }
        server->ClearCommands();
        CFTPSite* site =
            testtree::AddSite(m_sites, "127.0.0.1", server->user(), server->password(), server->port());
        ASSERT_TRUE(UpdateAndWait(site));
        const std::vector<std::string> received = server->Commands();
        if (!c.refused) {
            EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
            EXPECT_FALSE(received.empty());
            continue;
        }
        EXPECT_EQ(site->GetStatusText(), std::string(kStatusFailedPrefix) + kFailureSettingsDamaged);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
        EXPECT_TRUE(received.empty()) << received.front();
        EXPECT_NE(ReadBytes(log).find("settings are damaged: " + path + ": "), std::string::npos);
    }
    StopLogging();
}

} // namespace
} // namespace enginetest
