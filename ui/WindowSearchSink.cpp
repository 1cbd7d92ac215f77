#include "ui/WindowSearchSink.h"

#include "ops/QuarnelDoc.h"
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
    m_pListView->AppendFound();
}

void CWindowSearchSink::FoundFile(CFTPFile*) {
    m_pListView->AppendFound();
}

void CWindowSearchSink::SearchProgress(int32_t done, int32_t) {
    if (m_pDialog)
        m_pDialog->SetDone(done);
}

void CWindowSearchSink::SearchEnded() {
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
