#include "ui/AboutDlg.h"

#include "ui/Icons.h"

#include "QuarnelVersion.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("关于 Quarnel"));
    setModal(true);
    setWindowIcon(Icons::AppIcon());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(Icons::AppPixmap(48));
    icon->setFixedSize(48, 48);
    auto* version = new QLabel(QStringLiteral("Quarnel " QUARNEL_VERSION), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont versionFont = version->font();
    versionFont.setBold(true);
    versionFont.setPointSizeF(versionFont.pointSizeF() * 1.15);
    version->setFont(versionFont);
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addWidget(version, 1, Qt::AlignVCenter);
    top->addSpacing(24);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 18, 18, 14);
    layout->addLayout(top);
    layout->addSpacing(12);
    layout->addLayout(buttons);
    setMinimumWidth(300);

    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
