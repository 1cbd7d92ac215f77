#pragma once
// The window's side of the update engine: it starts updates of the selected site or of every
// site, shows the run's progress in the status bar every second, tells the desktop when the run
// has ended and then asks whether to trust the servers of secure sites that were refused in it.
// At close it stops the run and waits for it, with the wait box while work is left.

#include <QObject>
#include <QTimer>

class CCommandGate;
class CDesktopNotice;
class CDirView;
class CQuarnelDoc;
class CStatusPanes;
class QWidget;

class CUpdateRuns : public QObject {
    Q_OBJECT
public:
    static constexpr int kProgressPeriodMs = 1000;

    // Questions and the settings dialog open over `window`.
    CUpdateRuns(CQuarnelDoc& doc, CDirView& tree, CStatusPanes& status, CDesktopNotice& notice,
                CCommandGate& gate, QWidget* window);

    void UpdateAll();
    // The site of the directory selected in the tree; the status bar says why when it cannot be.
    void UpdateSelected();
    void Stop();
    void AskSettings();
    // While the window closes no server is trusted; a close given up lets it go on.
    void SetClosing(bool closing) { m_bClosing = closing; }
    // Stops the run and waits for the engine's last threads, letting their notices through.
    void StopAndWait();

private:
    void StartProgress();
    void OnProgressTimer();
    void AskAboutRefusedServers();

    CQuarnelDoc& m_doc;
    CDirView& m_tree;
    CStatusPanes& m_status;
    CDesktopNotice& m_notice;
    CCommandGate& m_gate;
    QWidget* m_pWindow;
    QTimer m_progressTimer;
    int m_nUpdateTotal = 0;
    bool m_bClosing = false;
};
