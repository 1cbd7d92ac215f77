#pragma once
// The commands that walk the catalogue in the window thread: the keyword search, the new files of
// the updated sites, of every site or below a directory, and marking them read. Each passes the
// command gate as a walk: sites not read yet are read in threads first, and a walk that runs
// already is stopped and followed. While a walk runs, waiting events are let through every
// ~10 ms, so the window stays alive and a newer command can stop it.

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <vector>

class CCommandGate;
class CDirView;
class CFTPSite;
class CQuarnelDoc;
class CQuarnelView;
class CStatusPanes;
class CWindowSearchSink;
class QWidget;

class CWalkCommands : public QObject {
    Q_OBJECT
public:
    CWalkCommands(CQuarnelDoc& doc, CCommandGate& gate, CDirView& tree, CQuarnelView& list,
                  CStatusPanes& status, CWindowSearchSink& sink, QWidget* window);

    // The document's pump during a walk: false once a newer command asked the walk to stop.
    bool Pump();
    // Runs `walk` as a walk of all sites, or of `sites`, read first (neither: of what is read).
    void Run(bool allSites, std::vector<CFTPSite*> sites, std::function<void()> walk);

    void Search();
    void ShowNewFiles();
    void ShowAllNewFiles();
    void ShowTreeNew();
    void MarkShownRead();
    void MarkUpdatedRead();
    void MarkAllRead();
    void MarkTreeRead();

private:
    // Tree items and list rows already shown follow the marks a read command cleared.
    void ShowReadMarks();
    void ShowMessage(const std::string& utf8);

    CQuarnelDoc& m_doc;
    CCommandGate& m_gate;
    CDirView& m_tree;
    CQuarnelView& m_list;
    CStatusPanes& m_status;
    CWindowSearchSink& m_sink;
    QWidget* m_pWindow;
    QElapsedTimer m_pumpClock;
};
