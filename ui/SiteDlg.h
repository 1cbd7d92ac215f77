#pragma once
// The dialog that adds or edits a site ("服务器"). It only collects the fields; the document
// decides what to do with them (duplicate rule, login pair, data directory). Its controls and
// layout are in SiteDlg.ui.

#include "ops/SiteFields.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

namespace Ui {
class CSiteDlg;
}

class CSiteDlg : public QDialog {
    Q_OBJECT
public:
    // Control identifiers, also kept as each control's "controlId" property.
    enum ControlId : int {
        IDC_HOST = 1001,
        IDC_ANONYMOUS = 1002,
        IDC_USER = 1003,
        IDC_PASSWORD = 1004,
        IDC_PORT = 1005,
        IDC_ANONYMOUS_UPDATE = 1007,
        IDC_NICKNAME = 1008,
        IDC_REMARK = 1009
    };

    explicit CSiteDlg(QWidget* parent = nullptr);
    ~CSiteDlg() override;

    // Fields, exchanged with the controls when the dialog shows and on OK. Text is as typed.
    QString m_strHost;
    QString m_strUser;
    QString m_strPassword;
    bool m_bAnonymous = false;
    quint32 m_nPort = 21;
    QString m_strNickname;
    QString m_strRemark; // lines end with CR LF, as the multi-line edit hands them over
    bool m_bAnonymousUpdate = false;
    NameEncodingChoice m_nEncoding = NameEncodingChoice::Auto; // how the server's names are read
    SiteProtocol m_nProtocol = SiteProtocol::Ftp;              // "协议:"
    SiteProtocol m_shownProtocol = SiteProtocol::Ftp;          // what the combo box shows now
    int m_nConnections = kDefaultSiteConnections;              // "同时连接数:", 1 to kMaxSiteConnections

    // Conversions to and from the document's plain struct (UTF-8 text).
    void SetFields(const SiteFields& fields);
    SiteFields GetFields() const;

    // Field -> controls (also done when the dialog is shown).
    void LoadControls();
    // Controls -> fields; false (with the message shown and the port focused) when the port
    // does not read as a port number from 1 to 65535.
    bool SaveControls();

    // Asked on OK after the dialog's own checks (host and port): why the fields cannot be taken
    // (another site has them), or empty. A refusal is shown and the dialog stays open with what
    // was typed.
    using AcceptCheck = std::function<std::string(const SiteFields&)>;
    void SetAcceptCheck(AcceptCheck check) { m_acceptCheck = std::move(check); }

    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnAnonymousClicked();
    void UpdateLoginEnabled();
    void Refuse(const QString& message, QWidget* focus);

    std::unique_ptr<Ui::CSiteDlg> m_ui;
    AcceptCheck m_acceptCheck;
};
