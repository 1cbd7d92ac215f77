#include "ui/SearchDialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

CSearchDialog::CSearchDialog(int32_t total, QWidget* parent) : QDialog(parent), m_nTotal(total) {
    setObjectName(QStringLiteral("searchDialog"));
    setWindowTitle(QStringLiteral("正在搜索..."));
    setModal(false);
    setWindowModality(Qt::NonModal);

    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(QStringLiteral("searchProgress"));
    m_pProgress->setProperty("controlId", int(IDC_PROGRESS));
    // The full 32-bit count is the range; a zero range would make the bar spin instead.
    m_pProgress->setRange(0, qMax<int32_t>(m_nTotal, 1));
    m_pProgress->setValue(0);
    m_pProgress->setFormat(QStringLiteral("%v/%m"));
    m_pProgress->setMinimumWidth(260);

    m_pStopButton = new QPushButton(QStringLiteral("停止"), this);
    m_pStopButton->setObjectName(QStringLiteral("stopButton"));
    m_pStopButton->setProperty("controlId", int(IDC_STOP));
    m_pStopButton->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pStopButton);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pProgress);
    layout->addSpacing(6);
    layout->addLayout(buttons);

    m_pTimer = new QTimer(this);
    m_pTimer->setObjectName(QStringLiteral("searchTimer"));
    m_pTimer->setInterval(kTimerPeriodMs);
    connect(m_pTimer, &QTimer::timeout, this, &CSearchDialog::OnTimer);
    m_pTimer->start();

    connect(m_pStopButton, &QPushButton::clicked, this, &CSearchDialog::reject);
}

CSearchDialog::~CSearchDialog() {
    m_pTimer->stop();
}

void CSearchDialog::ShowCentredOver(QWidget* window) {
    adjustSize();
    if (window) {
        const QRect frame = window->frameGeometry();
        move(frame.center() - QPoint(width() / 2, height() / 2));
    }
    show();
}

int CSearchDialog::ShownPosition() const {
    return m_pProgress->value();
}

void CSearchDialog::OnTimer() {
    m_pProgress->setValue(qBound<int32_t>(0, m_nDone, m_pProgress->maximum()));
}

void CSearchDialog::reject() {
    // Stop, Esc and the close box all end up here. The request goes out once; the window only
    // hides, since the search still refers to it until it ends.
    m_pTimer->stop();
    if (!m_bStopSent) {
        m_bStopSent = true;
        emit StopRequested();
    }
    hide();
    setResult(QDialog::Rejected);
}

void CSearchDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}
