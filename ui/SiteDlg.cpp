#include "ui/SiteDlg.h"

#include "ops/QuarnelDoc.h"
#include "ui_SiteDlg.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QShowEvent>

namespace {

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

// A port is a decimal number from 1 to 65535.
bool ParsePort(const QString& text, quint32& port) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 5)
        return false;
    for (QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const uint value = trimmed.toUInt();
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

} // namespace

CSiteDlg::CSiteDlg(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CSiteDlg>()) {
    m_ui->setupUi(this);
    m_ui->connectionsSpin->setRange(1, kMaxSiteConnections);
    // Designer cannot give a line edit a validator.
    m_ui->portEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_ui->portEdit));

    connect(m_ui->anonymousCheck, &QCheckBox::clicked, this, &CSiteDlg::OnAnonymousClicked);
    // Another protocol suggests its own port, unless the user typed a port of their own.
    connect(m_ui->protocolCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        const QString shown = m_ui->portEdit->text().trimmed();
        if (shown.isEmpty() || shown == QString::number(DefaultPort(m_shownProtocol)))
            m_ui->portEdit->setText(QString::number(DefaultPort(static_cast<SiteProtocol>(index))));
        m_shownProtocol = static_cast<SiteProtocol>(index);
    });
    connect(m_ui->okButton, &QPushButton::clicked, this, &CSiteDlg::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CSiteDlg::reject);
}

CSiteDlg::~CSiteDlg() = default;

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
    m_nConnections = fields.connections;
    m_nProtocol = fields.protocol;
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
    fields.connections = m_nConnections;
    fields.protocol = m_nProtocol;
    return fields;
}

void CSiteDlg::LoadControls() {
    m_ui->hostEdit->setText(m_strHost);
    m_ui->userEdit->setText(m_strUser);
    m_ui->passwordEdit->setText(m_strPassword);
    m_ui->anonymousCheck->setChecked(m_bAnonymous);
    m_ui->portEdit->setText(QString::number(m_nPort));
    m_ui->nicknameEdit->setText(m_strNickname);
    m_ui->remarkEdit->setPlainText(RemarkForDisplay(m_strRemark));
    m_ui->anonymousUpdateCheck->setChecked(m_bAnonymousUpdate);
    m_ui->encodingCombo->setCurrentIndex(static_cast<int>(m_nEncoding));
    m_ui->connectionsSpin->setValue(m_nConnections); // the spin box keeps it within its range
    m_shownProtocol = m_nProtocol; // set first: showing the stored protocol keeps the stored port
    m_ui->protocolCombo->setCurrentIndex(static_cast<int>(m_nProtocol));
    UpdateLoginEnabled();
}

bool CSiteDlg::SaveControls() {
    quint32 port = 0;
    const std::string portProblem =
        CQuarnelDoc::PortProblem(ParsePort(m_ui->portEdit->text(), port) ? int32_t(port) : 0);
    const std::string hostProblem = CQuarnelDoc::HostProblem(m_ui->hostEdit->text().toStdString());
    if (!hostProblem.empty() || !portProblem.empty()) {
        if (!hostProblem.empty())
            Refuse(QString::fromStdString(hostProblem), m_ui->hostEdit);
        else
            Refuse(QString::fromStdString(portProblem), m_ui->portEdit);
        return false;
    }
    m_strHost = m_ui->hostEdit->text();
    m_strUser = m_ui->userEdit->text();
    m_strPassword = m_ui->passwordEdit->text();
    m_bAnonymous = m_ui->anonymousCheck->isChecked();
    m_nPort = port;
    m_strNickname = m_ui->nicknameEdit->text();
    // An untouched remark keeps its own line ends.
    const QString remark = m_ui->remarkEdit->toPlainText();
    if (remark != RemarkForDisplay(m_strRemark))
        m_strRemark = RemarkFromDisplay(remark);
    m_bAnonymousUpdate = m_ui->anonymousUpdateCheck->isChecked();
    m_nEncoding = static_cast<NameEncodingChoice>(m_ui->encodingCombo->currentIndex());
    m_nConnections = m_ui->connectionsSpin->value();
    m_nProtocol = static_cast<SiteProtocol>(m_ui->protocolCombo->currentIndex());
    return true;
}

void CSiteDlg::Refuse(const QString& message, QWidget* focus) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Quarnel"), message, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("refusalBox"));
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
    focus->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(focus))
        edit->selectAll();
}

void CSiteDlg::accept() {
    if (!SaveControls())
        return;
    // The fields stay as typed in the controls whatever the answer.
    const std::string clash = m_acceptCheck ? m_acceptCheck(GetFields()) : std::string();
    if (!clash.empty()) {
        Refuse(QString::fromStdString(clash), m_ui->hostEdit);
        return;
    }
    QDialog::accept();
}

void CSiteDlg::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        LoadControls();
    QDialog::showEvent(event);
}

void CSiteDlg::OnAnonymousClicked() {
    m_bAnonymous = m_ui->anonymousCheck->isChecked();
    UpdateLoginEnabled();
}

void CSiteDlg::UpdateLoginEnabled() {
    // The typed user name and password stay; they are only greyed while "匿名" is ticked.
    m_ui->userEdit->setEnabled(!m_bAnonymous);
    m_ui->passwordEdit->setEnabled(!m_bAnonymous);
}
