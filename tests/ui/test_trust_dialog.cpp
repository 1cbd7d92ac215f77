// The question about a server that was not trusted: what it shows, and that refusing is what
// Enter and Escape do; accepting stores what was shown for the site.

#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteSecurity.h"
#include "ops/SiteTrust.h"
#include "tests/support/FtpServer.h"
#include "ui/TrustDialog.h"

#include <QPushButton>
#include <QTest>

#include <fstream>
#include <sstream>

class TestTrustDialog : public QObject {
    Q_OBJECT
private slots:
    void questionShowsTheIdentityAndRefusesByDefault();
    void acceptingStoresTheCertificateOrTheHostKey();
};

void TestTrustDialog::questionShowsTheIdentityAndRefusesByDefault() {
    PeerIdentity certificate;
    certificate.kind = PeerIdentity::Kind::Certificate;
    certificate.fingerprint = "AB:CD:EF";
    certificate.subject = "CN=ftp.example.cn";
    certificate.notAfter = "2027-01-01 00:00:00 UTC";
    PeerIdentity changedKey;
    changedKey.kind = PeerIdentity::Kind::HostKey;
    changedKey.fingerprint = "SHA256:abc";
    changedKey.keyType = "ssh-ed25519";
    changedKey.changed = true;
    for (const PeerIdentity& presented : {certificate, changedKey}) {
        QMessageBox box;
        PrepareTrustQuestion(box, QStringLiteral("站点"), presented);
        QVERIFY(box.text().startsWith(QStringLiteral("站点\n")));
        QVERIFY(box.informativeText().contains(QString::fromStdString(presented.fingerprint)));
        QCOMPARE(box.icon(), presented.changed ? QMessageBox::Warning : QMessageBox::Question);
        QCOMPARE(box.defaultButton()->objectName(), QStringLiteral("refuseButton"));
        QCOMPARE(box.escapeButton()->objectName(), QStringLiteral("refuseButton"));
    }
}

void TestTrustDialog::acceptingStoresTheCertificateOrTheHostKey() {
    ftptest::TempDir dir;
    SetAppDir(dir.path());
    CFTPSite site;
    site.m_strHost = "127.0.0.1";
    site.m_strUser = "bob";
    site.m_nPort = 2222;
    PeerIdentity certificate;
    certificate.kind = PeerIdentity::Kind::Certificate;
    certificate.fingerprint = "AB:CD";
    QVERIFY(TrustSitePeer(site, certificate).ok());
    QCOMPARE(site.GetSettings().m_tlsPin, std::string("AB:CD"));

    PeerIdentity key;
    key.kind = PeerIdentity::Kind::HostKey;
    key.keyType = "ssh-ed25519";
    key.keyBase64 = "AAAAC3NzaC1lZDI1NTE5AAAAIExample";
    QVERIFY(TrustSitePeer(site, key).ok());
    QVERIFY(TrustSitePeer(site, key).ok()); // again: one line, not two
    std::ifstream file(KnownHostsPath());
    std::stringstream text;
    text << file.rdbuf();
    QCOMPARE(text.str(), std::string("[127.0.0.1]:2222 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIExample\n"));
    SetAppDir(".");
}

QTEST_MAIN(TestTrustDialog)
#include "test_trust_dialog.moc"
