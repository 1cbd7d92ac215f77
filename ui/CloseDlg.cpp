#include "ui/CloseDlg.h"

#include "ui/Icons.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

#include <optional>

namespace {

const QString kBaseText = QStringLiteral("正在关闭连接,请稍后");

// Set to the base text at the first tick of the run and never reset after.
std::optional<QString>& AnimatedText() {
    static std::optional<QString> text;
    return text;
}

} // namespace

CCloseDlg::CCloseDlg(std::function<bool()> isIdle, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), m_isIdle(std::move(isIdle)) {
    setObjectName(QStringLiteral("closeDialog"));
    setModal(true);

    // Without a caption the box needs its own edge to stand out from the window behind it.
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("closeFrame"));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);

    auto* icon = new QLabel(frame);
    icon->setObjectName(QStringLiteral("closeIcon"));
    icon->setPixmap(Icons::TreePixmap(Icons::kTreeStatusBase + 4, 24));
    m_pText = new QLabel(kBaseText, frame);
    m_pText->setObjectName(QStringLiteral("closeText"));
    m_pText->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Wide enough for five dots, so the box never changes size as they grow.
    m_pText->setMinimumWidth(m_pText->fontMetrics().horizontalAdvance(kBaseText + QStringLiteral(".....")) +
                             4);

    auto* row = new QHBoxLayout(frame);
    row->setContentsMargins(18, 14, 18, 14);
    row->setSpacing(10);
    row->addWidget(icon);
    row->addWidget(m_pText, 1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(frame);
    setMinimumSize(210, 80);

    m_pTimer = new QTimer(this);
    m_pTimer->setObjectName(QStringLiteral("closeTimer"));
    m_pTimer->setInterval(kTimerPeriodMs);
    connect(m_pTimer, &QTimer::timeout, this, &CCloseDlg::OnTimer);
}

QString CCloseDlg::Text() const {
    return m_pText->text();
}

void CCloseDlg::ResetAnimation() {
    AnimatedText().reset();
}

void CCloseDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_pTimer->isActive())
        m_pTimer->start();
}

void CCloseDlg::OnTimer() {
    if (m_isIdle && m_isIdle()) {
        Finish();
        return;
    }
    std::optional<QString>& text = AnimatedText();
    if (!text)
        text = kBaseText;
    if (*text == kBaseText + QString(kMaxDots, QLatin1Char('.')))
        *text = kBaseText;
    else
        *text += QLatin1Char('.');
    m_pText->setText(*text);
}

void CCloseDlg::Finish() {
    m_pTimer->stop();
    m_bFinishing = true;
    done(QDialog::Accepted);
}

void CCloseDlg::reject() {
    // Esc must not end the wait; only the engine (or the caller) does.
    if (m_bFinishing)
        QDialog::reject();
}

void CCloseDlg::closeEvent(QCloseEvent* event) {
    if (!m_bFinishing)
        event->ignore();
}
