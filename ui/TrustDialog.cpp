#include "ui/TrustDialog.h"

#include "ops/SiteTrust.h"

#include <QPushButton>

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
} // namespace

void PrepareTrustQuestion(QMessageBox& box, const QString& siteName, const PeerIdentity& presented) {
    box.setWindowTitle(QStringLiteral("Quarnel"));
    box.setIcon(presented.changed ? QMessageBox::Warning : QMessageBox::Question);
    box.setText(siteName + QStringLiteral("\n") + Question(presented));
    box.setInformativeText(QString::fromStdString(DescribePeer(presented, true)).trimmed());
    box.setTextInteractionFlags(Qt::TextSelectableByMouse); // the fingerprint can be copied
    QPushButton* trust = box.addButton(QStringLiteral("信任"), QMessageBox::AcceptRole);
    QPushButton* refuse = box.addButton(QStringLiteral("不信任"), QMessageBox::RejectRole);
    trust->setObjectName(QStringLiteral("trustButton"));
    refuse->setObjectName(QStringLiteral("refuseButton"));
    box.setDefaultButton(refuse);
    box.setEscapeButton(refuse);
}

bool AskTrustPeer(QWidget* parent, const QString& siteName, const PeerIdentity& presented) {
    QMessageBox box(parent);
    PrepareTrustQuestion(box, siteName, presented);
    box.exec();
    return box.clickedButton() && box.clickedButton()->objectName() == QStringLiteral("trustButton");
}
