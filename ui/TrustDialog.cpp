#include "ui/TrustDialog.h"

#include "model/Records.h"
#include "model/SiteSecurity.h"
#include "ops/ShownText.h"
#include "ops/SiteTrust.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QPushButton>

#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString Question(const PeerIdentity& presented) {
    if (presented.kind == PeerIdentity::Kind::HostKey)
        return presented.changed ? QStringLiteral("服务器的主机密钥与此前信任的不同。如果服务器没有更换密钥,"
                                                  "连接可能被人截取。仍然信任新的密钥吗?")
                                 : QStringLiteral("服务器的主机密钥尚未信任。请核对指纹后决定是否信任。");
    return presented.changed
               ? QStringLiteral("服务器的证书与此前接受的不同。如果服务器没有更换证书,"
                                "连接可能被人截取。仍然信任新的证书吗?")
               : QStringLiteral("服务器的证书未通过验证(可能是自签名证书)。请核对指纹后决定是否信任。");
}

// Why the check failed, from the failure's own words: what can be told apart in Chinese, the
// words themselves otherwise.
QString Reason(const std::string& problem) {
    const QString text = QString::fromStdString(DisplaySafe(problem)).trimmed();
    const QString lower = text.toLower();
    const struct {
        const char* words;
        const char* reason;
    } known[] = {
        {"host name", "证书上的名字与服务器的地址不符"},
        {"hostname", "证书上的名字与服务器的地址不符"},
        {"subject name", "证书上的名字与服务器的地址不符"},
        {"expired", "证书已过期"},
        {"not yet valid", "证书尚未生效"},
        {"self signed", "证书是自签名的"},
        {"self-signed", "证书是自签名的"},
        {"not the one accepted", "证书与此前接受的不同"},
        {"not the one known", "主机密钥与此前信任的不同"},
        {"host key is not known", "主机密钥尚未信任"},
        {"revoked", "主机密钥已被吊销"},
        {"could not be verified", "证书无法用系统的证书颁发机构验证"},
    };
    for (const auto& entry : known)
        if (lower.contains(QLatin1String(entry.words)))
            return QString::fromUtf8(entry.reason);
    return text;
}

// known_hosts as a regular file of a sane size, read without waiting (a FIFO never blocks here).
std::string ReadKnownHosts() {
    constexpr off_t kMaxSize = 4 * 1024 * 1024;
    const int fd = open(KnownHostsPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxSize) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || text.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxSize))
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return text;
}

} // namespace

void PrepareTrustQuestion(QMessageBox& box, const QString& siteName, const PeerIdentity& presented,
                          const QString& previousFingerprint) {
    box.setWindowTitle(QStringLiteral("Quarnel"));
    box.setIcon(presented.changed ? QMessageBox::Warning : QMessageBox::Question);
    box.setText(siteName + QStringLiteral("\n") + Question(presented));
    QString details;
    if (!presented.problem.empty())
        details += QStringLiteral("原因: ") + Reason(presented.problem) + QStringLiteral("\n");
    if (presented.changed && !previousFingerprint.isEmpty())
        details += QStringLiteral("此前信任的指纹: ") +
                   QString::fromStdString(DisplaySafe(previousFingerprint.toStdString())) +
                   QStringLiteral("\n");
    details += QString::fromStdString(DisplaySafe(DescribePeer(presented, true), true)).trimmed();
    box.setInformativeText(details);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse); // the fingerprint can be copied

    auto* checked = new QCheckBox(QStringLiteral("我已核对指纹,确认信任"), &box);
    checked->setObjectName(QStringLiteral("fingerprintChecked"));
    box.setCheckBox(checked);
    QPushButton* trust = box.addButton(QStringLiteral("信任"), QMessageBox::AcceptRole);
    QPushButton* refuse = box.addButton(QStringLiteral("不信任"), QMessageBox::RejectRole);
    trust->setObjectName(QStringLiteral("trustButton"));
    refuse->setObjectName(QStringLiteral("refuseButton"));
    // Never the default, not even while it has the focus: Enter then still means "不信任".
    trust->setAutoDefault(false);
    trust->setEnabled(false);
    QObject::connect(checked, &QCheckBox::toggled, trust, &QPushButton::setEnabled);
    box.setDefaultButton(refuse);
    box.setEscapeButton(refuse);
    refuse->setFocus(Qt::OtherFocusReason);
}

bool AskTrustPeer(QWidget* parent, const QString& siteName, const PeerIdentity& presented,
                  const QString& previousFingerprint) {
    QMessageBox box(parent);
    PrepareTrustQuestion(box, siteName, presented, previousFingerprint);
    box.exec();
    return box.clickedButton() && box.clickedButton()->objectName() == QStringLiteral("trustButton");
}

std::string PreviousFingerprint(const CFTPSite& site, const PeerIdentity& presented) {
    if (presented.kind == PeerIdentity::Kind::Certificate)
        return site.GetSettings().m_tlsPin;
    if (presented.kind != PeerIdentity::Kind::HostKey)
        return {};
    // The name known_hosts gives the site's host and port, as trusting a key writes it.
    const int port = site.m_nPort > 0 && site.m_nPort <= 65535 ? site.m_nPort : 22;
    const std::string name = port == 22 ? site.m_strHost : "[" + site.m_strHost + "]:" + std::to_string(port);
    std::istringstream lines(ReadKnownHosts());
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string hosts, type, key;
        if (!(fields >> hosts >> type >> key) || hosts.empty() || hosts[0] == '#')
            continue;
        std::istringstream names(hosts);
        bool ours = false;
        for (std::string one; std::getline(names, one, ',');)
            ours = ours || one == name;
        if (!ours)
            continue;
        const QByteArray blob = QByteArray::fromBase64(QByteArray::fromStdString(key));
        if (blob.isEmpty())
            continue;
        const QByteArray digest = QCryptographicHash::hash(blob, QCryptographicHash::Sha256);
        return "SHA256:" + digest.toBase64(QByteArray::OmitTrailingEquals).toStdString();
    }
    return {};
}
