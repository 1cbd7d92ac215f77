// Trust of secure servers, on a bare curl handle: vsftpd with TLS and OpenSSH's sshd, each with
// a throw-away identity made for the test.
#include "platform/PeerTrust.h"
#include "platform/FtpClient.h"
#include "tests/support/FtpServer.h"
#include "tests/support/ssh_server.h"
#include "tests/support/vsftpd_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <set>

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

TEST(PeerTrust, SshHostKeyIsRefusedUntilKnownAndAgainWhenItChanges) {
    ftptest::TempDir dir;
    auto server = ftptest::SshServer::Start();
    ftptest::TreeBuilder(server->root()).Apply("pub/\nreadme.txt\t5\n");
    const std::string url = "sftp://127.0.0.1:" + std::to_string(server->port()) + "/";
    const std::string knownHosts = dir.path() + "/known_hosts";
    const std::string key = server->KeyHome() + "/.ssh/id_ed25519";
    auto login = [&](CURL* curl) {
        curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES, long(CURLSSH_AUTH_PUBLICKEY));
        curl_easy_setopt(curl, CURLOPT_SSH_PRIVATE_KEYFILE, key.c_str());
    };

    CSshHostCheck check(knownHosts);
    std::string listing;
    const CURLcode unknown = ListRoot(url, server->user(), listing, [&](CURL* curl) {
        login(curl);
        check.Apply(curl);
    });
    EXPECT_NE(unknown, CURLE_OK);
    const PeerIdentity shown = check.Refused();
    ASSERT_EQ(shown.kind, PeerIdentity::Kind::HostKey);
    EXPECT_FALSE(shown.changed);
    EXPECT_EQ(shown.keyType + " " + shown.keyBase64, server->HostKey());
    EXPECT_EQ(shown.fingerprint.rfind("SHA256:", 0), 0u);

    ASSERT_TRUE(TrustHostKey(knownHosts, "127.0.0.1", server->port(), shown.keyType, shown.keyBase64));
    ASSERT_TRUE(TrustHostKey(knownHosts, "127.0.0.1", server->port(), shown.keyType, shown.keyBase64));
    listing.clear();
    EXPECT_EQ(ListRoot(url, server->user(), listing,
                       [&](CURL* curl) {
                           login(curl);
                           check.Apply(curl);
                       }),
              CURLE_OK);
    EXPECT_NE(listing.find("readme.txt"), std::string::npos);
    EXPECT_TRUE(check.Refused().empty());

    server->ReplaceHostKey();
    const CURLcode changed = ListRoot(url, server->user(), listing, [&](CURL* curl) {
        login(curl);
        check.Apply(curl);
    });
    EXPECT_NE(changed, CURLE_OK);
    EXPECT_TRUE(check.Refused().changed);
}

std::set<std::pair<std::string, uint64_t>> ListAll(IFtpConnection& conn,
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
