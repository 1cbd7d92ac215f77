#pragma once
// How a running search shows itself in the window: result rows as they are found, the progress
// window with its stop button, the busy cursor. Rows go in batches: the entries found since the
// last batch are added when the window next lets events through (Flush), so that the view lays
// out its rows once per batch, not once per hit.

#include "ops/SearchSink.h"

#include <QPointer>

class CQuarnelDoc;
class CQuarnelView;
class CSearchDialog;
class QWidget;

class CWindowSearchSink : public ISearchSink {
public:
    CWindowSearchSink(CQuarnelDoc* doc, CQuarnelView* listView, QWidget* window);
    ~CWindowSearchSink() override;

    void SearchStarted(const SearchStart& start) override;
    void FoundDir(CFTPDir* dir) override;
    void FoundFile(CFTPFile* file) override;
    void SearchProgress(int32_t done, int32_t total) override;
    void SearchEnded() override;

    CSearchDialog* ProgressWindow() const { return m_pDialog; }
    // Adds the rows of the entries found since the last batch; called before the window lets
    // events through, and when the search ends.
    void Flush();

private:
    CQuarnelDoc* m_pDoc;
    CQuarnelView* m_pListView;
    QWidget* m_pWindow;
    QPointer<CSearchDialog> m_pDialog;
    bool m_bBusyCursor = false;
    bool m_bPending = false; // entries were found since the last batch
};
