// The question about a server that was not trusted: what it shows (without the server's control
// characters), that no run of keys but a deliberate tick and press trusts, and that accepting
// stores what was shown for the site.

#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteSecurity.h"
#include "ops/SiteTrust.h"
#include "tests/support/FtpServer.h"
#include "ui/TrustDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

class TestTrustDialog : public QObject {
    Q_OBJECT
private slots:
    void questionShowsTheIdentityAndRefusesByDefault();
    void changedIdentityShowsBothFingerprintsAndWhy();
    void keysNeverTrust_data();
    void keysNeverTrust();
    void trustingTakesTheTickAndThePress();
    void previousHostKeyIsReadFromKnownHosts();
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

void TestTrustDialog::changedIdentityShowsBothFingerprintsAndWhy() {
    PeerIdentity changed;
    changed.kind = PeerIdentity::Kind::Certificate;
    changed.fingerprint = "11:22:33";
    changed.subject = "CN=evil\x1b]0;pwned\x07\xE2\x80\xAEtxt.exe\x7F";
    changed.changed = true;
    changed.problem = "SSL: no alternative certificate subject name matches target host name '127.0.0.1'";
    QMessageBox box;
    PrepareTrustQuestion(box, QStringLiteral("站点"), changed, QStringLiteral("AA:BB:CC"));
    const QString details = box.informativeText();
    QVERIFY2(details.contains(QStringLiteral("原因: 证书上的名字与服务器的地址不符")), qPrintable(details));
    QVERIFY(details.indexOf(QStringLiteral("此前信任的指纹: AA:BB:CC")) <
            details.indexOf(QStringLiteral("11:22:33")));
    QVERIFY(details.contains(QStringLiteral("CN=evil")));
    for (const QChar c : details)
        QVERIFY2(c == QLatin1Char('\n') ||
                     (c.category() != QChar::Other_Control && (c < QChar(0x202A) || c > QChar(0x202E))),
                 qPrintable(QString::number(c.unicode(), 16)));
}

void TestTrustDialog::keysNeverTrust_data() {
    QTest::addColumn<QString>("keys");
    for (const char* keys :
         {"Return", "Enter", "Escape", "Down,Return", "Tab,Return", "Tab,Tab,Return", "Right,Right,Return",
          "Up,Return", "Tab,Space,Return", "Tab,Space,Tab,Return", "Tab,Space,Down,Down,Return",
          "Tab,Space,Tab,Tab,Tab,Return", "Space", "Tab,Space"})
        QTest::newRow(keys) << QString::fromLatin1(keys);
}

// Whatever has the focus, Enter refuses; no run of keys lands "信任" as the default.
void TestTrustDialog::keysNeverTrust() {
    QFETCH(QString, keys);
    const std::map<QString, Qt::Key> names{{"Return", Qt::Key_Return}, {"Enter", Qt::Key_Enter},
                                           {"Escape", Qt::Key_Escape}, {"Down", Qt::Key_Down},
                                           {"Up", Qt::Key_Up},         {"Right", Qt::Key_Right},
                                           {"Tab", Qt::Key_Tab},       {"Space", Qt::Key_Space}};
    PeerIdentity changed;
    changed.kind = PeerIdentity::Kind::HostKey;
    changed.fingerprint = "SHA256:abc";
    changed.changed = true;
    QMessageBox box;
    PrepareTrustQuestion(box, QStringLiteral("站点"), changed, QStringLiteral("SHA256:old"));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    for (const QString& key : keys.split(QLatin1Char(','))) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &box, names.at(key));
        QApplication::processEvents();
    }
    QAbstractButton* clicked = box.clickedButton();
    if (keys.endsWith(QLatin1String("Return")) || keys.endsWith(QLatin1String("Enter")) || keys == "Escape") {
        QVERIFY(clicked);
        QCOMPARE(clicked->objectName(), QStringLiteral("refuseButton"));
    } else {
        QVERIFY(!clicked || clicked->objectName() != QStringLiteral("trustButton"));
    }
}

void TestTrustDialog::trustingTakesTheTickAndThePress() {
    PeerIdentity certificate;
    certificate.kind = PeerIdentity::Kind::Certificate;
    certificate.fingerprint = "AB:CD";
    QMessageBox box;
    PrepareTrustQuestion(box, QStringLiteral("站点"), certificate);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    auto* trust = box.findChild<QPushButton*>(QStringLiteral("trustButton"));
    auto* ticked = box.findChild<QCheckBox*>(QStringLiteral("fingerprintChecked"));
    QVERIFY(!trust->isEnabled());
    QTest::mouseClick(trust, Qt::LeftButton);
    QVERIFY(box.isVisible());
    ticked->click();
    QVERIFY(trust->isEnabled());
    QVERIFY(!trust->autoDefault() && !trust->isDefault());
    trust->setFocus();
    QTest::keyClick(trust, Qt::Key_Space);
    QCOMPARE(box.clickedButton(), trust);
}

// The key known_hosts holds for the site's host and port, as ssh-keygen -l prints its
// fingerprint; none from a FIFO, which is not waited on.
void TestTrustDialog::previousHostKeyIsReadFromKnownHosts() {
    ftptest::TempDir dir;
    SetAppDir(dir.path());
    CFTPSite site;
    site.m_strHost = "127.0.0.1";
    site.m_nPort = 2222;
    PeerIdentity key;
    key.kind = PeerIdentity::Kind::HostKey;
    std::ofstream(KnownHostsPath())
        << "other ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIExample\n"
        << "[127.0.0.1]:2222 ssh-ed25519 "
           "AAAAC3NzaC1lZDI1NTE5AAAAIOcdizXcbCFBPK1MAmk5Vzl0vZLSPqcGo4PuAhDouN9b\n";
    QCOMPARE(PreviousFingerprint(site, key),
             std::string("SHA256:Ild1rSef9Y6xbXmBbauI3UWXmuLixxTjBI1Loomq5XI"));
    site.m_nPort = 22;
    QCOMPARE(PreviousFingerprint(site, key), std::string());
    std::remove(KnownHostsPath().c_str());
    QCOMPARE(mkfifo(KnownHostsPath().c_str(), 0600), 0);
    QCOMPARE(PreviousFingerprint(site, key), std::string());
    SetAppDir(".");
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
