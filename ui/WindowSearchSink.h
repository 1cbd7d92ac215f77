#pragma once
// How a running search shows itself in the window: result rows as they are found, the progress
// window with its stop button, the busy cursor. Rows go in batches: the entries found since the
// last batch are added when the window next lets events through (Flush), so that the view lays
// out its rows once per batch, not once per hit.

#include "ops/SearchSink.h"

#include <QPointer>

#include <cstddef>

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
    // events through, and when the search ends (`all`). Once the list holds more than a screen of
    // rows, a batch waits until as many entries have been found as are shown, or kLargeBatch: the
    // view lays out every row at each batch, so batches that double the list keep a search of a
    // million hits linear, and the first screen, all a user sees of them, still comes with the
    // first batch; the bound keeps any one batch short.
    void Flush(bool all = false);

    // Rows the list holds before batches wait to double it.
    static constexpr std::size_t kScreenRows = 1000;
    static constexpr std::size_t kLargeBatch = 1u << 16;

private:
    CQuarnelDoc* m_pDoc;
    CQuarnelView* m_pListView;
    QWidget* m_pWindow;
    QPointer<CSearchDialog> m_pDialog;
    bool m_bBusyCursor = false;
    bool m_bPending = false; // entries were found since the last batch
};
