// Trust of secure servers: vsftpd with TLS on a bare curl handle and OpenSSH's sshd through the
// SFTP client, each with a throw-away identity made for the test; known_hosts lines and writes.
#include "platform/PeerTrust.h"
#include "platform/FtpClient.h"
#include "platform/SftpClient.h"
#include "tests/support/FtpServer.h"
#include "tests/support/ssh_server.h"
#include "tests/support/vsftpd_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// One listing of "/" over a fresh handle, checked by `apply`; the curl result, the listing in `out`.
template <typename Apply>
CURLcode ListRoot(const std::string& url, const std::string& user, std::string& out, Apply apply) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    apply(curl);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return code;
}

std::string PemFingerprint(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned char digest[32];
    unsigned int length = 0;
    X509_digest(cert, EVP_sha256(), digest, &length);
    X509_free(cert);
    return ColonHex(digest, length);
}

// Unknown certificate refused with what it is; accepted once pinned, over the control and the
// (session-reusing) data connection; a new certificate refused as changed.
TEST(PeerTrust, TlsCertificateIsRefusedUntilPinnedAndAgainWhenItChanges) {
    ftptest::TempDir dir;
    ftptest::TreeBuilder(dir.path() + "/root").Apply("pub/\nreadme.txt\t5\n");
    for (const ftptest::VsftpdTls mode : {ftptest::VsftpdTls::Explicit, ftptest::VsftpdTls::Implicit}) {
        auto server = ftptest::VsftpdServer::Start(dir.path() + "/root", mode);
        const std::string scheme = mode == ftptest::VsftpdTls::Implicit ? "ftps://" : "ftp://";
        const std::string url = scheme + "127.0.0.1:" + std::to_string(server->port()) + "/";
        auto secure = [](CURL* curl) { curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL)); };

        CTlsPeerCheck unpinned;
        std::string listing;
        const CURLcode refused = ListRoot(url, "anonymous", listing, [&](CURL* curl) {
            secure(curl);
            EXPECT_TRUE(unpinned.Apply(curl));
        });
        EXPECT_EQ(refused, CURLE_PEER_FAILED_VERIFICATION);
        const PeerIdentity shown = unpinned.Refused(refused);
        ASSERT_EQ(shown.kind, PeerIdentity::Kind::Certificate);
        EXPECT_EQ(shown.fingerprint, PemFingerprint(server->CertificatePem()));
        EXPECT_EQ(shown.subject, "CN=localhost");
        EXPECT_FALSE(shown.notAfter.empty());
        EXPECT_FALSE(shown.changed);

        CTlsPeerCheck pinned(shown.fingerprint);
        listing.clear();
        EXPECT_EQ(ListRoot(url, "anonymous", listing,
                           [&](CURL* curl) {
                               secure(curl);
                               EXPECT_TRUE(pinned.Apply(curl));
                           }),
                  CURLE_OK);
        EXPECT_NE(listing.find("readme.txt"), std::string::npos);

        server->ReplaceCertificate();
        listing.clear();
        const CURLcode changed = ListRoot(url, "anonymous", listing, [&](CURL* curl) {
            secure(curl);
            EXPECT_TRUE(pinned.Apply(curl));
        });
        EXPECT_NE(changed, CURLE_OK);
        EXPECT_TRUE(pinned.Refused(changed).changed);
        EXPECT_EQ(pinned.Refused(changed).fingerprint, PemFingerprint(server->CertificatePem()));
    }
}

// Over SFTP: an unknown host key is refused with what it is; accepted once trusted (twice: the
// second replaces the first); a new key is refused as changed, RSA keys alike.
TEST(PeerTrust, SshHostKeyIsRefusedUntilKnownAndAgainWhenItChanges) {
    ftptest::TempDir dir;
    auto server = ftptest::SshServer::Start();
    ftptest::TreeBuilder(server->root()).Apply("pub/\nreadme.txt\t5\n");
    const std::string knownHosts = dir.path() + "/known_hosts";
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("HOME", server->KeyHome().c_str(), 1);
    auto connect = [&] {
        auto conn = CreateSftpConnection(knownHosts);
        const FtpResult result = conn->Connect("127.0.0.1", server->port(), server->user(), "");
        return std::pair{result, conn->RefusedPeer()};
    };
    // A server with only an RSA key is reached too. A key of another type than the known one is
    // unknown, not changed: servers hold several.
    for (const char* type : {"ed25519", "rsa"}) {
        server->ReplaceHostKey(type);
        const auto [unknown, shown] = connect();
        EXPECT_EQ(unknown.status, FtpStatus::Failed) << type;
        ASSERT_EQ(shown.kind, PeerIdentity::Kind::HostKey) << type;
        EXPECT_FALSE(shown.changed) << type;
        EXPECT_EQ(shown.keyType + " " + shown.keyBase64, server->HostKey());
        EXPECT_EQ(shown.fingerprint.rfind("SHA256:", 0), 0u);

        ASSERT_TRUE(TrustHostKey(knownHosts, "127.0.0.1", server->port(), shown.keyType, shown.keyBase64));
        ASSERT_TRUE(TrustHostKey(knownHosts, "127.0.0.1", server->port(), shown.keyType, shown.keyBase64));
        const auto [trusted, none] = connect();
        EXPECT_TRUE(trusted.ok()) << type << ": " << trusted.text;
        EXPECT_TRUE(none.empty());

        server->ReplaceHostKey(type);
        const auto [refused, changed] = connect();
        EXPECT_EQ(refused.status, FtpStatus::Failed) << type;
        EXPECT_TRUE(changed.changed) << type;
        EXPECT_EQ(changed.keyType + " " + changed.keyBase64, server->HostKey());
    }
    setenv("HOME", savedHome.c_str(), 1);
}

std::string Base64Of(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// A public key blob of `type` whose key bytes are `fill`: what a server would present.
std::string FakeKey(const std::string& type, char fill) {
    auto field = [](const std::string& bytes) {
        const auto n = static_cast<uint32_t>(bytes.size());
        return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + bytes;
    };
    return Base64Of(field(type) + field(std::string(32, fill)));
}

// known_hosts lines as OpenSSH writes and reads them, against the key a server presents.
TEST(PeerTrust, KnownHostsLinesDecideTheHostKey) {
    const std::string ed = FakeKey("ssh-ed25519", 'a'), edOther = FakeKey("ssh-ed25519", 'b'),
                      rsa = FakeKey("ssh-rsa", 'c');
    enum Verdict { Known, Unknown, Changed };
    struct Case {
        std::string file;
        std::string host;
        int port;
        Verdict verdict;
    };
    const Case cases[] = {
        {"example.org ssh-ed25519 " + ed + "\n", "example.org", 22, Known},
        {"Example.ORG ssh-ed25519 " + ed + " comment\r\n", "example.org", 22, Known},
        {"example.org ssh-ed25519 " + ed + "\n", "example.org", 2222, Unknown},
        {"[example.org]:2222\tssh-ed25519\t" + ed + "\n", "example.org", 2222, Known},
        {"other.org,example.org ssh-ed25519 " + ed + "\n", "example.org", 22, Known},
        {"*.org,!bad.org ssh-ed25519 " + ed + "\n", "example.org", 22, Known},
        {"*.org,!bad.org ssh-ed25519 " + ed + "\n", "bad.org", 22, Unknown},
        {"ex?mple.* ssh-ed25519 " + ed + "\n", "example.org", 22, Known},
        {"# example.org ssh-ed25519 " + ed + "\n\n", "example.org", 22, Unknown},
        {"example.org ssh-ed25519 " + edOther + "\n", "example.org", 22, Changed},
        {"example.org ssh-rsa " + rsa + "\n", "example.org", 22, Unknown},
        {"example.org ssh-ed25519 " + edOther + "\nexample.org ssh-ed25519 " + ed + "\n", "example.org", 22,
         Known},
        {"@revoked example.org ssh-ed25519 " + ed + "\nexample.org ssh-ed25519 " + ed + "\n", "example.org",
         22, Unknown},
        {"@cert-authority example.org ssh-ed25519 " + ed + "\n", "example.org", 22, Unknown},
        {"example.org ssh-ed25519 not-base64!\n", "example.org", 22, Unknown},
    };
    ftptest::TempDir dir;
    const std::string path = dir.path() + "/known_hosts";
    for (const Case& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.file;
        CSshHostCheck check(path);
        ASSERT_TRUE(check.Load()) << check.Error();
        EXPECT_EQ(check.Accept(c.host, c.port, ed), c.verdict == Known) << c.file;
        if (c.verdict != Known) {
            EXPECT_EQ(check.Refused().changed, c.verdict == Changed) << c.file;
            EXPECT_EQ(check.Refused().keyBase64, ed);
            EXPECT_EQ(check.Refused().keyType, "ssh-ed25519");
        }
    }
    // Names hashed by ssh-keygen -H, the plain and the port form.
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << "example.org ssh-ed25519 " << ed << "\n[example.org]:2222 ssh-rsa " << rsa << "\n";
    ASSERT_EQ(std::system(("/usr/bin/ssh-keygen -q -H -f " + path + " >/dev/null 2>&1").c_str()), 0);
    CSshHostCheck hashed(path);
    ASSERT_TRUE(hashed.Load());
    EXPECT_TRUE(hashed.Accept("example.org", 22, ed));
    EXPECT_TRUE(hashed.Accept("example.org", 2222, rsa));
    EXPECT_FALSE(hashed.Accept("example.net", 22, ed));
    EXPECT_EQ(hashed.KnownKeyTypes("example.org", 2222), std::vector<std::string>{"ssh-rsa"});
}

// A known_hosts that is no regular file, or far too large, is refused at once with a reason,
// by the check and by a connection, which sends nothing. A missing one knows no host.
TEST(PeerTrust, UnreadableKnownHostsIsRefusedAtOnce) {
    ftptest::TempDir dir;
    const std::string fifo = dir.path() + "/fifo", large = dir.path() + "/large";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(large).close();
    ASSERT_EQ(truncate(large.c_str(), off_t(kMaxKnownHostsBytes) + 1), 0);
    const std::pair<std::string, std::string> cases[] = {
        {fifo, "not a regular file"}, {"/dev/zero", "not a regular file"}, {dir.path(), "not a regular file"},
        {large, "larger than"},       {dir.path() + "/missing", ""},
    };
    for (const auto& [path, reason] : cases) {
        CSshHostCheck check(path);
        EXPECT_EQ(check.Load(), reason.empty()) << path;
        EXPECT_NE(check.Error().find(reason), std::string::npos) << path << ": " << check.Error();
        if (reason.empty())
            continue;
        // Port 9 of loopback: were anything sent, the connect would fail otherwise.
        auto conn = CreateSftpConnection(path);
        const FtpResult result = conn->Connect("127.0.0.1", 9, "user", "");
        EXPECT_EQ(result.status, FtpStatus::Failed) << path;
        EXPECT_EQ(result.text, check.Error());
        EXPECT_TRUE(conn->RefusedPeer().empty());
        EXPECT_FALSE(TrustHostKey(path, "example.org", 22, "ssh-ed25519", FakeKey("ssh-ed25519", 'a')));
    }
}

// Programs trusting keys at once: every key is kept, other lines stay, no temporary file is left.
TEST(PeerTrust, ConcurrentTrustsKeepEveryKey) {
    ftptest::TempDir dir;
    const std::string path = dir.path() + "/known_hosts";
    std::ofstream(path) << "# kept\nother.org ssh-rsa " << FakeKey("ssh-rsa", 'z') << "\n";
    constexpr int kWriters = 8, kRounds = 5;
    std::vector<std::thread> writers;
    std::atomic<int> failed{0};
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int round = 0; round < kRounds; ++round)
                if (!TrustHostKey(path, "host" + std::to_string(w), 22, "ssh-ed25519",
                                  FakeKey("ssh-ed25519", char('a' + round))))
                    ++failed;
        });
    for (std::thread& t : writers)
        t.join();
    EXPECT_EQ(failed.load(), 0);
    CSshHostCheck check(path);
    ASSERT_TRUE(check.Load());
    for (int w = 0; w < kWriters; ++w)
        EXPECT_TRUE(
            check.Accept("host" + std::to_string(w), 22, FakeKey("ssh-ed25519", char('a' + kRounds - 1))));
    EXPECT_TRUE(check.Accept("other.org", 22, FakeKey("ssh-rsa", 'z')));
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kWriters + 2);
    EXPECT_EQ(text.rfind("# kept\n", 0), 0u);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

std::set<std::pair<std::string, uint64_t>> ListAll(IServerConnection& conn,
                                                   const std::vector<std::string>& paths) {
    std::set<std::pair<std::string, uint64_t>> all;
    for (const std::string& path : paths) {
        std::vector<FtpEntry> entries;
        EXPECT_TRUE(conn.ChangeDir(path).ok()) << path;
        EXPECT_TRUE(conn.List(entries).ok()) << path;
        for (const FtpEntry& e : entries)
            all.emplace(path + "/" + e.name + (e.isDir ? "/" : ""), e.size);
    }
    return all;
}

// The FTP client over TLS, explicit and implicit, lists what it lists in the clear, once the
// certificate is pinned; asking a plain server for TLS fails before the login.
TEST(PeerTrust, FtpOverTlsListsWhatPlainFtpLists) {
    ftptest::TempDir dir;
    ftptest::TreeBuilder(dir.path() + "/root").Apply("pub/\npub/a b/\npub/a b/c.txt\t7\nreadme.txt\t5\n");
    const std::vector<std::string> paths{"/", "/pub", "/pub/a b"};
    auto plainServer = ftptest::VsftpdServer::Start(dir.path() + "/root");
    auto plain = CreateFtpConnection();
    ASSERT_TRUE(plain->Connect("127.0.0.1", plainServer->port(), "anonymous", "x").ok());
    const auto expected = ListAll(*plain, paths);
    ASSERT_EQ(expected.size(), 4u);

    for (const auto& [mode, protocol] :
         {std::pair{ftptest::VsftpdTls::Explicit, SiteProtocol::FtpExplicitTls},
          std::pair{ftptest::VsftpdTls::Implicit, SiteProtocol::FtpImplicitTls}}) {
        auto server = ftptest::VsftpdServer::Start(dir.path() + "/root", mode);
        auto untrusted = CreateFtpConnection(nullptr, {}, {protocol, "", ""});
        EXPECT_FALSE(untrusted->Connect("127.0.0.1", server->port(), "anonymous", "x").ok());
        const PeerIdentity shown = untrusted->RefusedPeer();
        ASSERT_EQ(shown.kind, PeerIdentity::Kind::Certificate);
        auto secure = CreateFtpConnection(nullptr, {}, {protocol, shown.fingerprint, ""});
        ASSERT_TRUE(secure->Connect("127.0.0.1", server->port(), "anonymous", "x").ok());
        EXPECT_EQ(ListAll(*secure, paths), expected);
    }
    auto insisting = CreateFtpConnection(nullptr, {}, {SiteProtocol::FtpExplicitTls, "", ""});
    const FtpResult refused = insisting->Connect("127.0.0.1", plainServer->port(), "anonymous", "x");
    EXPECT_EQ(refused.code, CURLE_USE_SSL_FAILED) << refused.text;
    EXPECT_TRUE(insisting->RefusedPeer().empty());
    // A pin left from when the site was secure means nothing to plain FTP.
    auto leftover = CreateFtpConnection(nullptr, {}, {SiteProtocol::Ftp, "AB:CD", ""});
    EXPECT_TRUE(leftover->Connect("127.0.0.1", plainServer->port(), "anonymous", "x").ok());
}

// The pin fails closed: an option libcurl refuses (as one of another TLS flavour refuses the
// OpenSSL hook) ends the connect before anything is sent, a wrong pin is refused in the
// handshake, and only the right pin, or none with the CA store, decides.
TEST(PeerTrust, APinThatCannotBeEnforcedRefuses) {
    ftptest::TempDir dir;
    ftptest::TreeBuilder(dir.path() + "/root").Apply("pub/\nreadme.txt\t5\n");
    auto server = ftptest::VsftpdServer::Start(dir.path() + "/root", ftptest::VsftpdTls::Explicit);
    const std::string right = PemFingerprint(server->CertificatePem());
    const std::string wrong = std::string(right).replace(0, 2, right.substr(0, 2) == "00" ? "11" : "00");
    struct Case {
        const char* what;
        std::string pin;
        int refusedOption; // -1: none
        CURLcode expected;
        bool changed; // refused as a certificate other than the pinned one
    };
    const std::vector<Case> cases = {
        {"the right pin", right, -1, CURLE_OK, false},
        {"a wrong pin", wrong, -1, CURLE_PEER_FAILED_VERIFICATION, true},
        {"no pin: the CA store refuses a self-signed certificate", "", -1, CURLE_PEER_FAILED_VERIFICATION,
         false},
        {"the OpenSSL hook refused", right, CURLOPT_SSL_CTX_FUNCTION, CURLE_SSL_CONNECT_ERROR, false},
        {"its data refused", right, CURLOPT_SSL_CTX_DATA, CURLE_SSL_CONNECT_ERROR, false},
        {"peer verification refused", right, CURLOPT_SSL_VERIFYPEER, CURLE_SSL_CONNECT_ERROR, false},
        {"TLS before the login refused", right, CURLOPT_USE_SSL, CURLE_SSL_CONNECT_ERROR, false},
        {"the scheme limit refused", right, CURLOPT_PROTOCOLS_STR, CURLE_SSL_CONNECT_ERROR, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulateRefusedCurlOption(c.refusedOption);
        auto connection = CreateFtpConnection(nullptr, {}, {SiteProtocol::FtpExplicitTls, c.pin, ""});
        const FtpResult result = connection->Connect("127.0.0.1", server->port(), "anonymous", "x");
        SimulateRefusedCurlOption(-1);
        EXPECT_EQ(result.code, c.expected) << result.text;
        const PeerIdentity shown = connection->RefusedPeer();
        EXPECT_EQ(shown.changed, c.changed);
        // Refused before the handshake, nothing was shown at all.
        EXPECT_EQ(shown.empty(), c.refusedOption != -1 || c.expected == CURLE_OK);
        if (result.ok()) {
            FtpDirListing listing;
            EXPECT_TRUE(connection->List(listing).ok());
        }
    }
    EXPECT_TRUE(CurlTlsIsOpenSsl());
}

TEST(PeerTrust, TypedFingerprintsAreNormalized) {
    const std::string hex(64, 'a');
    const std::pair<std::string, bool> cases[] = {{hex, true},          {"AA:" + hex.substr(2), true},
                                                  {"SHA256:abc", true}, {"xyz", false},
                                                  {hex + "a", false},   {"", false}};
    for (const auto& [typed, valid] : cases)
        EXPECT_EQ(!NormalizeFingerprint(typed).empty(), valid) << typed;
    EXPECT_EQ(NormalizeFingerprint(hex).substr(0, 6), "AA:AA:");
}

} // namespace
