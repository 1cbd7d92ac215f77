#include "ui/WindowSearchSink.h"

#include "ops/QuarnelDoc.h"
#include "ui/FileListModel.h"
#include "ui/QuarnelView.h"
#include "ui/SearchDialog.h"

#include <QApplication>

CWindowSearchSink::CWindowSearchSink(CQuarnelDoc* doc, CQuarnelView* listView, QWidget* window)
    : m_pDoc(doc), m_pListView(listView), m_pWindow(window) {}

CWindowSearchSink::~CWindowSearchSink() {
    SearchEnded();
}

void CWindowSearchSink::SearchStarted(const SearchStart& start) {
    m_pListView->ClearList();
    m_pListView->AppendFound(); // the lists are empty: this only switches to them
    if (start.showProgress) {
        m_pDialog = new CSearchDialog(start.total, m_pWindow);
        m_pDialog->setAttribute(Qt::WA_DeleteOnClose, false);
        QObject::connect(m_pDialog, &CSearchDialog::StopRequested, m_pDialog,
                         [doc = m_pDoc] { doc->RequestStopWalk(); });
        m_pDialog->ShowCentredOver(m_pWindow);
    }
    if (start.busyCursor && !m_bBusyCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_bBusyCursor = true;
    }
}

void CWindowSearchSink::FoundDir(CFTPDir*) {
    m_bPending = true;
}

void CWindowSearchSink::FoundFile(CFTPFile*) {
    m_bPending = true;
}

void CWindowSearchSink::Flush(bool all) {
    if (!m_bPending)
        return;
    CFileListModel* model = m_pListView->ListModel();
    const std::size_t shown = static_cast<std::size_t>(model->DirRowCount() + model->FileRowCount());
    const std::size_t found = m_pDoc->m_foundDirs.size() + m_pDoc->m_foundFiles.size();
    if (!all && m_pListView->m_bSearchMode && shown >= kScreenRows && found < 2 * shown &&
        found < shown + kLargeBatch)
        return;
    m_bPending = false;
    // The rows shown are the heads of the found lists (an entry that leaves the catalogue leaves
    // both), so the tails are what was found since. Toggled to the browse lists meanwhile, the
    // view goes back to the found lists, as each found entry has always taken it there.
    if (!m_pListView->m_bSearchMode) {
        m_pListView->ShowFoundLists();
        return;
    }
    model->AppendTails(m_pDoc->m_foundDirs, m_pDoc->m_foundFiles);
}

void CWindowSearchSink::SearchProgress(int32_t done, int32_t) {
    if (m_pDialog)
        m_pDialog->SetDone(done);
}

void CWindowSearchSink::SearchEnded() {
    Flush(true);
    if (m_pDialog) {
        m_pDialog->hide();
        m_pDialog->deleteLater();
        m_pDialog = nullptr;
    }
    if (m_bBusyCursor) {
        QApplication::restoreOverrideCursor();
        m_bBusyCursor = false;
    }
}
