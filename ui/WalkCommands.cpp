#include "ui/WalkCommands.h"

#include "ops/CommandGate.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "ui/DirView.h"
#include "ui/FindDialog.h"
#include "ui/MessageBoxes.h"
#include "ui/QuarnelView.h"
#include "ui/SearchDialog.h"
#include "ui/StatusPanes.h"
#include "ui/WindowSearchSink.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {
QString FoundLabelFor(const std::string& keywordUtf8) {
    return QStringLiteral("查找 “%1” 的结果").arg(QString::fromStdString(DisplaySafe(keywordUtf8)));
}

const QString kNewFilesLabel = QStringLiteral("未读文件");
} // namespace

CWalkCommands::CWalkCommands(CQuarnelDoc& doc, CCommandGate& gate, CDirView& tree, CQuarnelView& list,
                             CStatusPanes& status, CWindowSearchSink& sink, QWidget* window)
    : QObject(window), m_doc(doc), m_gate(gate), m_tree(tree), m_list(list), m_status(status), m_sink(sink),
      m_pWindow(window) {}

void CWalkCommands::ShowMessage(const std::string& utf8) {
    MessageBoxes::Show(m_pWindow, QMessageBox::Warning, QString::fromStdString(DisplaySafe(utf8, true)));
}

bool CWalkCommands::Pump() {
    if (m_gate.StopAsked())
        return false;
    if (!m_pumpClock.isValid() || m_pumpClock.elapsed() >= 10) {
        // The rows found since the last pump go in as one batch, laid out once.
        m_sink.Flush();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        m_pumpClock.restart();
    }
    return !m_gate.StopAsked();
}

void CWalkCommands::Run(bool allSites, std::vector<CFTPSite*> sites, std::function<void()> walk) {
    // Sites not read yet are read in threads first: the walk would read them in this one. A walk
    // running meanwhile is stopped, and this one follows it.
    const bool readFirst = allSites || !sites.empty();
    m_gate.Run({.allSites = allSites,
                .sites = std::move(sites),
                .rule = {.readFirst = readFirst, .walks = true},
                .run = [this, walk = std::move(walk)] {
                    m_pumpClock.invalidate();
                    walk();
                }});
}

void CWalkCommands::Search() {
    CFindDialog dialog(m_pWindow);
    if (dialog.exec() != QDialog::Accepted)
        return;
    Run(true, {}, [this, keyword = dialog.KeywordUtf8()] {
        m_status.SetFoundLabel(FoundLabelFor(keyword));
        const SearchOutcome outcome = m_doc.SearchAllSites(keyword);
        if (!outcome.message.empty())
            ShowMessage(outcome.message);
    });
}

void CWalkCommands::ShowNewFiles() {
    Run(false, {}, [this] {
        m_status.SetFoundLabel(kNewFilesLabel);
        const SearchOutcome outcome = m_doc.ShowNewFiles(SiteScope::Updated);
        if (!outcome.message.empty())
            ShowMessage(outcome.message);
    });
}

void CWalkCommands::ShowAllNewFiles() {
    Run(true, {}, [this] {
        m_status.SetFoundLabel(kNewFilesLabel);
        const SearchOutcome outcome = m_doc.ShowNewFiles(SiteScope::All);
        if (!outcome.message.empty())
            ShowMessage(outcome.message);
    });
}

void CWalkCommands::ShowTreeNew() {
    CFTPDir* dir = m_tree.SelectedDir();
    if (!dir)
        return;
    Run(false, {dir->GetSite()}, [this] {
        // Taken again: the walk this one stopped may have let the tree change.
        if (CFTPDir* current = m_tree.SelectedDir()) {
            m_status.SetFoundLabel(kNewFilesLabel);
            m_doc.ShowNewUnder(current);
        }
    });
}

void CWalkCommands::MarkShownRead() {
    m_doc.MarkShownFilesRead();
    m_list.ClearFileHighlights();
    m_pWindow->update();
}

void CWalkCommands::MarkUpdatedRead() {
    Run(false, {}, [this] {
        m_doc.MarkSitesRead(SiteScope::Updated);
        ShowReadMarks();
        m_pWindow->update();
    });
}

void CWalkCommands::MarkAllRead() {
    Run(true, {}, [this] {
        m_doc.MarkSitesRead(SiteScope::All);
        ShowReadMarks();
    });
}

void CWalkCommands::MarkTreeRead() {
    CFTPDir* selected = m_tree.SelectedDir();
    if (!selected)
        return;
    Run(false, {selected->GetSite()}, [this] {
        CFTPDir* dir = m_tree.SelectedDir();
        if (!dir)
            return;
        CFTPSite* site = dir->GetSite();
        const bool isRoot = dir->m_pParent == nullptr;
        m_doc.SetReadFromTree(dir);
        if (isRoot && site)
            m_tree.RefreshSiteItem(site);
        ShowReadMarks();
    });
}

void CWalkCommands::ShowReadMarks() {
    m_tree.RefreshDirItemsBold();
    m_list.RefreshHighlights();
}
