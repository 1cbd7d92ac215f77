#include "ui/FindDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QValidator>

namespace {

// Lowers the text in place as it is typed or pasted; the cursor stays where it was.
class LowerCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toLower();
        return Acceptable;
    }
};

} // namespace

CFindDialog::CFindDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("findDialog"));
    setWindowTitle(QStringLiteral("查找"));
    setModal(true);

    auto* label = new QLabel(QStringLiteral("请输入查找关键词:"), this);
    label->setObjectName(QStringLiteral("keywordLabel"));
    m_pKeywordEdit = new QLineEdit(this);
    m_pKeywordEdit->setObjectName(QStringLiteral("keywordEdit"));
    m_pKeywordEdit->setProperty("controlId", int(IDC_KEYWORD));
    m_pKeywordEdit->setValidator(new LowerCaseValidator(m_pKeywordEdit));
    m_pKeywordEdit->setMinimumWidth(260);
    label->setBuddy(m_pKeywordEdit);
    m_pOkButton = new QPushButton(QStringLiteral("确定"), this);
    m_pOkButton->setObjectName(QStringLiteral("okButton"));
    m_pOkButton->setDefault(true);
    m_pCancelButton = new QPushButton(QStringLiteral("取消"), this);
    m_pCancelButton->setObjectName(QStringLiteral("cancelButton"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pOkButton);
    buttons->addWidget(m_pCancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_pKeywordEdit);
    layout->addSpacing(8);
    layout->addLayout(buttons);

    connect(m_pOkButton, &QPushButton::clicked, this, &CFindDialog::accept);
    connect(m_pCancelButton, &QPushButton::clicked, this, &CFindDialog::reject);
}

void CFindDialog::accept() {
    // setText() bypasses the validator, so lower once more on the way out.
    m_strKeyword = m_pKeywordEdit->text().toLower();
    QDialog::accept();
}

void CFindDialog::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        m_strKeyword.clear();
        m_pKeywordEdit->clear();
        m_pKeywordEdit->setFocus(Qt::OtherFocusReason);
    }
    QDialog::showEvent(event);
}
