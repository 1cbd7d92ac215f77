// The search field: a query of the search language over every site as the user types. Each
// search is a walk of the window thread like the 查找 command's, letting events through every
// few milliseconds; a key typed meanwhile stops it, and the search for the newest text follows.
#include "ui/MainFrame.h"

#include "model/Records.h"
#include "ops/CommandGate.h"
#include "ops/QuarnelDoc.h"
#include "ops/SearchQuery.h"
#include "ui/DirView.h"
#include "ui/FileListModel.h"
#include "ui/QuarnelView.h"
#include "ui/SearchField.h"
#include "ui/SiteLoader.h"
#include "ui/StatusPanes.h"

#include <QAction>
#include <QShortcut>
#include <QToolBar>

namespace {

QString QueryErrorText(const CSearchQuery& query) {
    const QString term = QString::fromStdString(query.ErrorTerm());
    switch (query.Error()) {
    case QueryError::BadSize:
        return QString::fromUtf8("大小条件有误：%1（例：size:>700M、size:<1K、size:1G..4G）").arg(term);
    case QueryError::BadType:
        return QString::fromUtf8("类型条件有误：%1（type:dir 或 type:file）").arg(term);
    case QueryError::BadRegex:
        return QString::fromUtf8("正则表达式有误：%1").arg(term);
    case QueryError::EmptyFilter:
        return QString::fromUtf8("条件缺少值：%1").arg(term);
    case QueryError::None:
        break;
    }
    return {};
}

} // namespace

void CMainFrame::CreateSearchField() {
    m_pSearchField = new CSearchField(m_pToolBar);
    m_pToolBar->addSeparator();
    m_pToolBar->addWidget(m_pSearchField);
    connect(m_pSearchField, &CSearchField::QueryChanged, this, &CMainFrame::OnInstantSearch);
    // A search for older text stops at the key, not after the pause: the search for the new text
    // then starts as soon as typing pauses, with nothing to wait for.
    connect(m_pSearchField, &CSearchField::Edited, this, [this] {
        if (m_bInstantRunning)
            m_pGate->AskStop();
    });
    connect(m_pSearchField, &CSearchField::Escaped, this, [this] { m_pListView->setFocus(); });
    connect(m_pSearchField, &CSearchField::Activated, this, [this] {
        if (!m_pListView->m_bSearchMode || m_pListView->model()->rowCount() == 0)
            return;
        QModelIndex current = m_pListView->currentIndex();
        if (!current.isValid())
            current = m_pListView->model()->index(0, 0);
        m_pListView->OpenRow(current);
    });
    // A result's menu: the directory that holds it, selected in the tree and listed, the result
    // selected there. Taken from the current row when it runs (after a search that runs stops).
    auto* openFolder = new QAction(QStringLiteral("打开所在目录"), this);
    openFolder->setObjectName(QStringLiteral("actionOpenContainingDir"));
    connect(openFolder, &QAction::triggered, this, [this] {
        RunWalk(false, {}, [this] {
            const QModelIndex current = m_pListView->currentIndex();
            if (!m_pListView->m_bSearchMode || !current.isValid())
                return;
            const CFileListModel* model = m_pListView->ListModel();
            const CObject* entry = nullptr;
            CFTPDir* folder = nullptr;
            if (CFTPDir* dir = model->DirAt(current.row())) {
                entry = dir;
                folder = dir->m_pParent;
            } else if (CFTPFile* file = model->FileAt(current.row())) {
                entry = file;
                folder = file->m_pParent;
            }
            if (folder && m_pDirView->SelectDirectory(folder))
                m_pListView->SelectEntry(entry);
        });
    });
    auto* focusSearch = new QShortcut(QKeySequence::Find, this);
    connect(focusSearch, &QShortcut::activated, this, [this] {
        m_pSearchField->setFocus();
        m_pSearchField->selectAll();
    });
    m_loadProgressTimer.setInterval(100);
    connect(&m_loadProgressTimer, &QTimer::timeout, this, &CMainFrame::ShowLoadProgress);
}

void CMainFrame::OnInstantSearch(const QString& text) {
    m_instantQuery = text.trimmed().toStdString();
    if (m_bInstantRunning)
        m_pGate->AskStop(); // the search in flight is for older text
    if (m_bInstantQueued)
        return;
    m_bInstantQueued = true;
    RunWalk(false, {}, [this] {
        m_bInstantQueued = false;
        RunInstantSearch();
    });
}

void CMainFrame::RunInstantSearch() {
    m_pSearchField->SetError({});
    if (m_instantQuery.empty()) {
        m_loadProgressTimer.stop();
        m_pSearchField->SetProgress(-1);
        if (m_pListView->m_bSearchMode) {
            m_pListView->m_bSearchMode = false;
            m_pListView->ShowBrowseLists();
        }
        return;
    }
    const CSearchQuery query = CSearchQuery::Parse(m_instantQuery);
    if (!query.Ok()) {
        m_pSearchField->SetError(QueryErrorText(query));
        return;
    }
    // Sites not read yet are read in threads first; the field shows how far that is.
    const CGateCommand readFirst{.allSites = true,
                                 .rule = {.walk = IfHeld::Go, .readFirst = true},
                                 .run = [this] { OnInstantSearch(QString::fromStdString(m_instantQuery)); }};
    if (m_pGate->Admit(readFirst).outcome == CCommandGate::Outcome::Waits) {
        ShowLoadProgress();
        m_loadProgressTimer.start();
        return;
    }
    m_loadProgressTimer.stop();
    m_pSearchField->SetProgress(-1);
    m_pListView->m_bSearchMode = true;
    m_pStatus->SetFoundLabel(QStringLiteral("查找 “%1” 的结果").arg(QString::fromStdString(m_instantQuery)));
    m_bInstantRunning = true;
    m_pDoc->FindAllSites(query, true);
    m_bInstantRunning = false;
}

void CMainFrame::ShowLoadProgress() {
    std::size_t loaded = 0, total = 0;
    for (CFTPSite* site : m_pDoc->m_siteList) {
        ++total;
        if (site->IsLoaded() && !m_pLoader->IsBusy(site))
            ++loaded;
    }
    if (total == 0 || loaded == total) {
        m_loadProgressTimer.stop();
        return;
    }
    m_pSearchField->SetProgress(double(loaded) / double(total));
}
