#include "ui/SiteCommands.h"

#include "ops/CommandGate.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "ui/DirView.h"
#include "ui/ImportFileDialog.h"
#include "ui/MessageBoxes.h"
#include "ui/SiteDlg.h"
#include "ui/SiteFollower.h"
#include "ui/StatusPanes.h"

#include <QFile>
#include <QMessageBox>
#include <QTimer>

namespace {
// The site's records are renamed or freed: not under a walk, which would stand on them.
constexpr CGateRule kEditRule{.walk = IfHeld::Refuse, .read = IfHeld::Go};
} // namespace

CSiteCommands::CSiteCommands(CQuarnelDoc& doc, CDirView& tree, CStatusPanes& status, CCommandGate& gate,
                             CSiteFollower& follower, QWidget* window)
    : QObject(window), m_doc(doc), m_tree(tree), m_status(status), m_gate(gate), m_follower(follower),
      m_pWindow(window) {}

void CSiteCommands::ShowMessage(const std::string& utf8) {
    MessageBoxes::Show(m_pWindow, QMessageBox::Warning, QString::fromStdString(DisplaySafe(utf8, true)));
}

void CSiteCommands::AddMissingSiteItems() {
    for (CFTPSite* site : m_doc.m_siteList)
        if (m_tree.SiteItem(site) == nullptr)
            m_tree.AddSiteItem(site);
    m_follower.SiteListSeen();
}

void CSiteCommands::Import() {
    const QString path = AskImportFile(m_pWindow);
    if (path.isEmpty())
        return;
    const ImportResult result = m_doc.ImportSites(QFile::encodeName(path).toStdString());
    if (!result.message.empty())
        ShowMessage(result.message);
    m_tree.FillSiteItems();
}

void CSiteCommands::Add() {
    CSiteDlg dialog(m_pWindow);
    // Sites another program added count too: the list follows site.ds.
    dialog.SetAcceptCheck([this](const SiteFields& fields) { return m_doc.SiteClash(fields, nullptr); });
    for (;;) {
        if (dialog.exec() != QDialog::Accepted)
            return;
        const SiteOpResult result = m_doc.AddSite(dialog.GetFields());
        // Sites another program added meanwhile came in with it.
        AddMissingSiteItems();
        if (!result.message.empty())
            ShowMessage(result.message);
        if (result.status == OpStatus::Done)
            return;
        // Refused after all (another program added the site meanwhile): asked again, as typed.
    }
}

void CSiteCommands::Edit() {
    auto edit = [this] {
        CFTPDir* dir = m_tree.SelectedDir();
        CFTPSite* site = dir ? dir->GetSite() : nullptr;
        if (!site) {
            m_status.SetMessage(QStringLiteral("请先在左边选择要编辑的站点。"));
            return;
        }
        EditFrom(site, m_doc.FieldsFromSite(*site));
    };
    // Greyed during a walk; a direct call is refused the same way.
    if (m_gate.Run({.rule = kEditRule, .run = edit}).outcome == CCommandGate::Outcome::Refused)
        m_status.SetMessage(QStringLiteral("正在查找或设置已读，结束后才能编辑站点。"));
}

void CSiteCommands::EditFrom(CFTPSite* site, const SiteFields& shown) {
    CSiteDlg dialog(m_pWindow);
    dialog.SetFields(shown);
    // Another site's host and user, or key, would make the two share one catalogue.
    dialog.SetAcceptCheck([this, site](const SiteFields& fields) { return m_doc.SiteClash(fields, site); });
    if (dialog.exec() != QDialog::Accepted)
        return;
    auto edit = [this, site, fields = dialog.GetFields()] {
        // The dialog let events through; the site may have gone meanwhile.
        if (m_tree.SiteItem(site) == nullptr)
            return;
        const SiteOpResult result = m_doc.EditSite(site, fields);
        if (result.status == OpStatus::Done)
            m_tree.RelabelSiteItem(site);
        AddMissingSiteItems();
        if (!result.message.empty())
            ShowMessage(result.message);
        // Refused (being updated, or its new key taken meanwhile): what was typed is not lost.
        if (result.status == OpStatus::Refused && m_tree.SiteItem(site) != nullptr)
            QTimer::singleShot(0, this, [this, site, fields] {
                if (m_tree.SiteItem(site) != nullptr)
                    m_gate.Run(
                        {.sites = {site}, .rule = kEditRule, .run = [=, this] { EditFrom(site, fields); }});
            });
    };
    // A new key renames the site's directory: not while a thread reads it either.
    CGateRule rule = kEditRule;
    rule.read = IfHeld::Wait;
    m_gate.Run({.sites = {site}, .rule = rule, .run = std::move(edit)});
}

void CSiteCommands::Delete() {
    // The site is named in the question: taken first. Nothing selected, nothing to ask about.
    CFTPDir* dir = m_tree.SelectedDir();
    CFTPSite* site = dir ? dir->GetSite() : nullptr;
    if (!site) {
        m_status.SetMessage(QStringLiteral("请先在左边选择要删除的站点。"));
        return;
    }
    QMessageBox ask(QMessageBox::Warning, QStringLiteral("警告"), QStringLiteral("是否确定要删除?"),
                    QMessageBox::Ok | QMessageBox::Cancel, m_pWindow);
    ask.setObjectName(QStringLiteral("deleteQuestion"));
    ask.setInformativeText(QStringLiteral("站点: ") +
                           QString::fromStdString(DisplaySafe(ShownSiteName(*site))));
    MessageBoxes::UseChineseButtonTexts(ask);
    // A slip of Enter keeps the site.
    ask.setDefaultButton(QMessageBox::Cancel);
    ask.setEscapeButton(QMessageBox::Cancel);
    if (ask.exec() != QMessageBox::Ok)
        return;
    // The question let events through: the site may have gone meanwhile.
    if (m_tree.SiteItem(site) != nullptr)
        Remove(site);
}

void CSiteCommands::Remove(CFTPSite* site) {
    auto remove = [this, site] {
        if (m_tree.SiteItem(site) == nullptr)
            return; // already gone
        // The document tells every holder (tree item, rows, history) before it destroys it.
        if (m_doc.DeleteSite(site) == OpStatus::Refused) {
            // Another program updates the site, or its lock cannot be had: it stays, and says why.
            const FileError& failure = m_doc.m_lastLockFailure;
            ShowMessage(failure.path.empty() ? "另一个程序正在更新该站点，请在更新结束后再删除。"
                                             : "无法锁定文件，没有做任何更改：\n" + failure.Text());
            return;
        }
        AddMissingSiteItems();
    };
    // Neither while a walk stands on the site's records (it is stopped) nor while a thread reads
    // them.
    m_gate.Run({.sites = {site}, .run = std::move(remove)});
}
