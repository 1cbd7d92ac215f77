#include "ui/SiteDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

void NameControl(QWidget* control, const char* objectName, int controlId = 0) {
    control->setObjectName(QString::fromLatin1(objectName));
    if (controlId != 0)
        control->setProperty("controlId", controlId);
}

// The multi-line edit works with LF; the field keeps CR LF like the text a Windows edit hands
// over, so site.ds holds the same bytes whichever program wrote it.
QString RemarkForDisplay(const QString& remark) {
    QString text = remark;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

QString RemarkFromDisplay(const QString& text) {
    QString remark = text;
    remark.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    remark.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return remark;
}

// A port is an unsigned decimal number that fits a TCP port.
bool ParsePort(const QString& text, quint32& port) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 5)
        return false;
    for (QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const uint value = trimmed.toUInt();
    if (value > 65535)
        return false;
    port = value;
    return true;
}

} // namespace

CSiteDlg::CSiteDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("siteDialog"));
    setWindowTitle(QStringLiteral("服务器"));
    setModal(true);

    m_pHostEdit = new QLineEdit(this);
    m_pUserEdit = new QLineEdit(this);
    m_pPasswordEdit = new QLineEdit(this);
    m_pPasswordEdit->setEchoMode(QLineEdit::Password);
    m_pAnonymousCheck = new QCheckBox(QStringLiteral("匿名"), this);
    m_pPortEdit = new QLineEdit(this);
    m_pPortEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_pPortEdit));
    m_pPortEdit->setMaximumWidth(80);
    m_pNicknameEdit = new QLineEdit(this);
    m_pRemarkEdit = new QPlainTextEdit(this);
    m_pRemarkEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pRemarkEdit->setTabChangesFocus(true);
    m_pRemarkEdit->setMinimumHeight(90);
    m_pAnonymousUpdateCheck = new QCheckBox(QStringLiteral("是否匿名更新站点内容"), this);
    // Items in the order of NameEncodingChoice.
    m_pEncodingCombo = new QComboBox(this);
    m_pEncodingCombo->addItem(QStringLiteral("自动"));
    m_pEncodingCombo->addItem(QStringLiteral("UTF-8"));
    m_pEncodingCombo->addItem(QStringLiteral("GBK"));
    m_pOkButton = new QPushButton(QStringLiteral("确定"), this);
    m_pCancelButton = new QPushButton(QStringLiteral("取消"), this);
    m_pOkButton->setDefault(true);

    NameControl(m_pHostEdit, "hostEdit", IDC_HOST);
    NameControl(m_pUserEdit, "userEdit", IDC_USER);
    NameControl(m_pPasswordEdit, "passwordEdit", IDC_PASSWORD);
    NameControl(m_pAnonymousCheck, "anonymousCheck", IDC_ANONYMOUS);
    NameControl(m_pPortEdit, "portEdit", IDC_PORT);
    NameControl(m_pNicknameEdit, "nicknameEdit", IDC_NICKNAME);
    NameControl(m_pRemarkEdit, "remarkEdit", IDC_REMARK);
    NameControl(m_pAnonymousUpdateCheck, "anonymousUpdateCheck", IDC_ANONYMOUS_UPDATE);
    NameControl(m_pEncodingCombo, "encodingCombo");
    NameControl(m_pOkButton, "okButton", 1);
    NameControl(m_pCancelButton, "cancelButton", 2);

    auto* hostLabel = new QLabel(QStringLiteral("站点"), this);
    auto* portLabel = new QLabel(QStringLiteral("端口号"), this);
    auto* userLabel = new QLabel(QStringLiteral("用户名"), this);
    auto* passwordLabel = new QLabel(QStringLiteral("密码"), this);
    auto* nicknameLabel = new QLabel(QStringLiteral("站点昵称:"), this);
    auto* remarkLabel = new QLabel(QStringLiteral("备注:"), this);
    auto* encodingLabel = new QLabel(QStringLiteral("文件名编码:"), this);
    NameControl(encodingLabel, "encodingLabel");
    encodingLabel->setBuddy(m_pEncodingCombo);
    NameControl(hostLabel, "hostLabel");
    NameControl(portLabel, "portLabel");
    NameControl(userLabel, "userLabel");
    NameControl(passwordLabel, "passwordLabel");
    NameControl(nicknameLabel, "nicknameLabel");
    NameControl(remarkLabel, "remarkLabel");
    hostLabel->setBuddy(m_pHostEdit);
    portLabel->setBuddy(m_pPortEdit);
    userLabel->setBuddy(m_pUserEdit);
    passwordLabel->setBuddy(m_pPasswordEdit);
    nicknameLabel->setBuddy(m_pNicknameEdit);
    remarkLabel->setBuddy(m_pRemarkEdit);

    // Login block: host and port on the first row, then user and password with the
    // anonymous box beside them.
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    grid->addWidget(hostLabel, 0, 0);
    grid->addWidget(m_pHostEdit, 0, 1);
    grid->addWidget(portLabel, 0, 2, Qt::AlignRight);
    grid->addWidget(m_pPortEdit, 0, 3);
    grid->addWidget(userLabel, 1, 0);
    grid->addWidget(m_pUserEdit, 1, 1);
    grid->addWidget(m_pAnonymousCheck, 1, 2, 1, 2);
    grid->addWidget(passwordLabel, 2, 0);
    grid->addWidget(m_pPasswordEdit, 2, 1);
    grid->addWidget(nicknameLabel, 3, 0);
    grid->addWidget(m_pNicknameEdit, 3, 1, 1, 3);
    grid->addWidget(remarkLabel, 4, 0, Qt::AlignTop);
    grid->addWidget(m_pRemarkEdit, 4, 1, 1, 3);
    grid->addWidget(m_pAnonymousUpdateCheck, 5, 1, 1, 3);
    grid->addWidget(encodingLabel, 6, 0);
    grid->addWidget(m_pEncodingCombo, 6, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pOkButton);
    buttons->addWidget(m_pCancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    resize(460, 370);

    // Tab order follows the order the fields are exchanged in.
    setTabOrder(m_pHostEdit, m_pUserEdit);
    setTabOrder(m_pUserEdit, m_pPasswordEdit);
    setTabOrder(m_pPasswordEdit, m_pAnonymousCheck);
    setTabOrder(m_pAnonymousCheck, m_pPortEdit);
    setTabOrder(m_pPortEdit, m_pNicknameEdit);
    setTabOrder(m_pNicknameEdit, m_pRemarkEdit);
    setTabOrder(m_pRemarkEdit, m_pAnonymousUpdateCheck);
    setTabOrder(m_pAnonymousUpdateCheck, m_pEncodingCombo);
    setTabOrder(m_pEncodingCombo, m_pOkButton);
    setTabOrder(m_pOkButton, m_pCancelButton);

    connect(m_pAnonymousCheck, &QCheckBox::clicked, this, &CSiteDlg::OnAnonymousClicked);
    connect(m_pOkButton, &QPushButton::clicked, this, &CSiteDlg::accept);
    connect(m_pCancelButton, &QPushButton::clicked, this, &CSiteDlg::reject);
}

void CSiteDlg::SetFields(const SiteFields& fields) {
    m_strHost = QString::fromStdString(fields.host);
    m_strUser = QString::fromStdString(fields.user);
    m_strPassword = QString::fromStdString(fields.password);
    m_bAnonymous = fields.anonymous;
    m_nPort = fields.port < 0 ? 0u : quint32(fields.port);
    m_strNickname = QString::fromStdString(fields.nickname);
    m_strRemark = QString::fromStdString(fields.remark);
    m_bAnonymousUpdate = fields.anonymousUpdate;
    m_nEncoding = fields.encoding;
}

SiteFields CSiteDlg::GetFields() const {
    SiteFields fields;
    fields.host = m_strHost.toStdString();
    fields.user = m_strUser.toStdString();
    fields.password = m_strPassword.toStdString();
    fields.anonymous = m_bAnonymous;
    fields.port = int32_t(m_nPort);
    fields.nickname = m_strNickname.toStdString();
    fields.remark = m_strRemark.toStdString();
    fields.anonymousUpdate = m_bAnonymousUpdate;
    fields.encoding = m_nEncoding;
    return fields;
}

void CSiteDlg::LoadControls() {
    m_pHostEdit->setText(m_strHost);
    m_pUserEdit->setText(m_strUser);
    m_pPasswordEdit->setText(m_strPassword);
    m_pAnonymousCheck->setChecked(m_bAnonymous);
    m_pPortEdit->setText(QString::number(m_nPort));
    m_pNicknameEdit->setText(m_strNickname);
    m_pRemarkEdit->setPlainText(RemarkForDisplay(m_strRemark));
    m_pAnonymousUpdateCheck->setChecked(m_bAnonymousUpdate);
    m_pEncodingCombo->setCurrentIndex(static_cast<int>(m_nEncoding));
    UpdateLoginEnabled();
}

bool CSiteDlg::SaveControls() {
    quint32 port = 0;
    if (!ParsePort(m_pPortEdit->text(), port)) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Quarnel"),
                        QStringLiteral("Please enter a positive integer."), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("refusalBox"));
        box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
        box.exec();
        m_pPortEdit->setFocus(Qt::OtherFocusReason);
        m_pPortEdit->selectAll();
        return false;
    }
    m_strHost = m_pHostEdit->text();
    m_strUser = m_pUserEdit->text();
    m_strPassword = m_pPasswordEdit->text();
    m_bAnonymous = m_pAnonymousCheck->isChecked();
    m_nPort = port;
    m_strNickname = m_pNicknameEdit->text();
    // An untouched remark keeps its own line ends.
    const QString remark = m_pRemarkEdit->toPlainText();
    if (remark != RemarkForDisplay(m_strRemark))
        m_strRemark = RemarkFromDisplay(remark);
    m_bAnonymousUpdate = m_pAnonymousUpdateCheck->isChecked();
    m_nEncoding = static_cast<NameEncodingChoice>(m_pEncodingCombo->currentIndex());
    return true;
}

void CSiteDlg::accept() {
    if (SaveControls())
        QDialog::accept();
}

void CSiteDlg::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        LoadControls();
    QDialog::showEvent(event);
}

void CSiteDlg::OnAnonymousClicked() {
    m_bAnonymous = m_pAnonymousCheck->isChecked();
    UpdateLoginEnabled();
}

void CSiteDlg::UpdateLoginEnabled() {
    // The typed user name and password stay; they are only greyed while "匿名" is ticked.
    m_pUserEdit->setEnabled(!m_bAnonymous);
    m_pPasswordEdit->setEnabled(!m_bAnonymous);
}
