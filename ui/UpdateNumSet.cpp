#include "ui/UpdateNumSet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

enum class ParseResult { Ok, NotInteger, OutOfRange };

// An optional sign and decimal digits, blanks around allowed; anything else is not an integer.
// A number too long for an int is an integer out of range.
ParseResult ParseThreads(const QString& text, int& value) {
    static const QRegularExpression integer(QStringLiteral("^\\s*([+-]?)([0-9]+)\\s*$"));
    const QRegularExpressionMatch match = integer.match(text);
    if (!match.hasMatch())
        return ParseResult::NotInteger;
    bool ok = false;
    const qlonglong magnitude = match.captured(2).toLongLong(&ok);
    if (!ok)
        return ParseResult::OutOfRange;
    const qlonglong number = match.captured(1) == QLatin1String("-") ? -magnitude : magnitude;
    if (number < CUpdateNumSet::kMinThreads || number > CUpdateNumSet::kMaxThreads)
        return ParseResult::OutOfRange;
    value = int(number);
    return ParseResult::Ok;
}

} // namespace

CUpdateNumSet::CUpdateNumSet(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("updateNumSetDialog"));
    setWindowTitle(QStringLiteral("设置更新线程"));
    setModal(true);

    auto* label = new QLabel(QStringLiteral("设置更新线程数："), this);
    label->setObjectName(QStringLiteral("threadsLabel"));
    m_pThreadsEdit = new QLineEdit(this);
    m_pThreadsEdit->setObjectName(QStringLiteral("threadsEdit"));
    m_pThreadsEdit->setProperty("controlId", int(IDC_THREADS));
    m_pThreadsEdit->setMinimumWidth(90);
    label->setBuddy(m_pThreadsEdit);
    m_pOkButton = new QPushButton(QStringLiteral("确定"), this);
    m_pOkButton->setObjectName(QStringLiteral("okButton"));
    m_pOkButton->setDefault(true);
    m_pCancelButton = new QPushButton(QStringLiteral("取消"), this);
    m_pCancelButton->setObjectName(QStringLiteral("cancelButton"));

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(m_pThreadsEdit, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pOkButton);
    buttons->addWidget(m_pCancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addSpacing(6);
    layout->addLayout(row);
    layout->addSpacing(10);
    layout->addLayout(buttons);
    setMinimumWidth(300);

    connect(m_pOkButton, &QPushButton::clicked, this, &CUpdateNumSet::accept);
    connect(m_pCancelButton, &QPushButton::clicked, this, &CUpdateNumSet::reject);
}

void CUpdateNumSet::LoadControls() {
    m_pThreadsEdit->setText(QString::number(m_nThreads));
    m_pThreadsEdit->selectAll();
}

bool CUpdateNumSet::SaveControls() {
    int value = 0;
    switch (ParseThreads(m_pThreadsEdit->text(), value)) {
    case ParseResult::NotInteger:
        Refuse(QStringLiteral("Please enter an integer."));
        return false;
    case ParseResult::OutOfRange:
        Refuse(
            QStringLiteral("Please enter an integer between %1 and %2.").arg(kMinThreads).arg(kMaxThreads));
        return false;
    case ParseResult::Ok:
        break;
    }
    m_nThreads = value;
    return true;
}

void CUpdateNumSet::Refuse(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Quarnel"), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("refusalBox"));
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
    // The field is selected so the next keystroke replaces the refused text.
    m_pThreadsEdit->setFocus(Qt::OtherFocusReason);
    m_pThreadsEdit->selectAll();
}

void CUpdateNumSet::accept() {
    if (SaveControls())
        QDialog::accept();
}

void CUpdateNumSet::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        LoadControls();
    QDialog::showEvent(event);
}
