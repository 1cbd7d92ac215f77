#pragma once
// The application object: start-up (splash, program directory, document, main window, site
// list) and the objects that live until the program ends.

#include "model/FileLock.h"

#include <memory>
#include <string>

class CMainFrame;
class CQuarnelDoc;
class CQuitSignals;

class CQuarnelApp {
public:
    static constexpr int kSplashMs = 1000;
    // Shown when another window program already runs on the same program directory.
    static constexpr const char* kAlreadyRunning = "Quarnel已经在运行。";

    CQuarnelApp();
    ~CQuarnelApp();

    // Runs the start-up; false ends the program (also when another window program holds the
    // program directory: that is said in a message box first). From then on SIGTERM, SIGHUP and
    // SIGINT close the window as its close box does, a session's request to save saves the read
    // marks, and so does an end of the process without a close (Qt ends it when the display's
    // connection breaks).
    bool InitInstance(bool showSplash = true);

    CQuarnelDoc* Document() const { return m_pDoc.get(); }
    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }

    // The program directory. Set before InitInstance to name it (main's --dir); left empty,
    // InitInstance chooses it from the environment. InitInstance creates it when missing.
    std::string m_strAppDir;
    // The window program's log (APPDIR/quarnel.log, the one before it quarnel.log.1).
    static std::string LogFilePath();

private:
    CFileLock m_windowLock; // held for the life of the window program
    std::unique_ptr<CQuarnelDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pMainFrame;
    std::unique_ptr<CQuitSignals> m_pQuitSignals;
};
