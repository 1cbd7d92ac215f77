#include "ui/UpdateRuns.h"

#include "ops/CommandGate.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "ops/SiteTrust.h"
#include "platform/TextCodec.h"
#include "ui/CloseDlg.h"
#include "ui/DesktopNotice.h"
#include "ui/DirView.h"
#include "ui/MessageBoxes.h"
#include "ui/StatusPanes.h"
#include "ui/TrustDialog.h"
#include "ui/UpdateNumSet.h"
#include "update/RefusedPeers.h"
#include "update/UpdateScheduler.h"

#include <QEventLoop>
#include <QFile>
#include <QMessageBox>

CUpdateRuns::CUpdateRuns(CQuarnelDoc& doc, CDirView& tree, CStatusPanes& status, CDesktopNotice& notice,
                         CCommandGate& gate, QWidget* window)
    : QObject(window), m_doc(doc), m_tree(tree), m_status(status), m_notice(notice), m_gate(gate),
      m_pWindow(window) {
    m_progressTimer.setInterval(kProgressPeriodMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &CUpdateRuns::OnProgressTimer);
}

void CUpdateRuns::StartProgress() {
    if (!m_progressTimer.isActive())
        m_progressTimer.start();
}

void CUpdateRuns::UpdateAll() {
    UpdateAllSites(m_doc.m_siteList, m_nUpdateTotal);
    for (CFTPSite* site : m_doc.m_siteList)
        m_tree.RefreshSiteItem(site);
    StartProgress();
}

void CUpdateRuns::UpdateSelected() {
    CFTPDir* dir = m_tree.SelectedDir();
    if (!dir || !dir->GetSite()) {
        m_status.SetMessage(QStringLiteral("没有选择站点：请先在左边选择要更新的站点或目录。"));
        return;
    }
    const CGateRule rule{.walk = IfHeld::Go, .read = IfHeld::Go, .update = IfHeld::Refuse};
    if (m_gate.Admit({.sites = {dir->GetSite()}, .rule = rule}).by == Hold::Update) {
        m_status.SetMessage(QStringLiteral("站点 %1 正在更新，这次更新结束后才能再更新。")
                                .arg(QString::fromStdString(DisplaySafe(ShownSiteName(*dir->GetSite())))));
        return;
    }
    if (!UpdateSelectedDir(dir, m_doc.m_siteList, m_nUpdateTotal)) {
        m_status.SetMessage(QStringLiteral("无法更新：所选站点已不在站点列表中。"));
        return;
    }
    m_tree.RefreshSiteItem(dir->GetSite());
    StartProgress();
}

void CUpdateRuns::Stop() {
    StopUpdates();
}

void CUpdateRuns::OnProgressTimer() {
    std::string text;
    const bool goOn = UpdateProgressTick(m_nUpdateTotal, text);
    m_status.SetMessage(QString::fromStdString(NarrowToUtf8(text)));
    if (!goOn) {
        m_progressTimer.stop();
        m_notice.RunEnded();
        QTimer::singleShot(0, this, &CUpdateRuns::AskAboutRefusedServers);
    }
}

void CUpdateRuns::AskAboutRefusedServers() {
    // By position: the questions let events through, and the list may change meanwhile.
    for (std::size_t i = 0; i < m_doc.m_siteList.GetCount(); ++i) {
        CFTPSite* site = m_doc.m_siteList.GetAt(i);
        // Taken out whatever the answer: each refused identity is asked about once.
        const std::optional<PeerIdentity> presented = TakeRefusedPeer(site->GetKey());
        if (!presented)
            continue;
        const std::string previous = PreviousFingerprint(*site, *presented);
        if (!AskTrustPeer(m_pWindow, QString::fromStdString(DisplaySafe(ShownField(site->GetKey()))),
                          *presented, QString::fromStdString(previous)) ||
            m_tree.SiteItem(site) == nullptr || m_bClosing)
            continue;
        const CResult<void> trusted = TrustSitePeer(*site, *presented);
        if (!trusted) {
            MessageBoxes::Show(m_pWindow, QMessageBox::Warning, QStringLiteral("无法保存信任的证书或密钥。"),
                               QFile::decodeName(QByteArray::fromStdString(trusted.error().Text())));
            continue;
        }
        // Trusted: the update that was refused goes on by itself.
        if (UpdateSelectedDir(site->m_pRootDir.get(), m_doc.m_siteList, m_nUpdateTotal)) {
            m_tree.RefreshSiteItem(site);
            StartProgress();
        }
    }
}

void CUpdateRuns::AskSettings() {
    CUpdateNumSet dialog(m_pWindow);
    dialog.m_nThreads = GetMaxUpdateThreads();
    if (dialog.exec() == QDialog::Accepted)
        SetMaxUpdateThreads(dialog.m_nThreads);
}

void CUpdateRuns::StopAndWait() {
    const bool busy = IsUpdateWorkPending();
    StopUpdates();
    if (busy) {
        CCloseDlg wait([] { return !IsUpdateWorkPending(); }, m_pWindow);
        wait.exec();
    }
    // The engine's last threads (a dispatcher seeing the stop flag) end within a few ms; their
    // notices are let through meanwhile instead of blocking.
    if (!IsUpdateEngineIdle()) {
        QEventLoop loop;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&loop] {
            if (IsUpdateEngineIdle())
                loop.quit();
        });
        poll.start(10);
        loop.exec();
    }
    m_progressTimer.stop();
}
