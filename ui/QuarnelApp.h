#pragma once
// The application object: start-up (splash, program directory, document, main window, site
// list) and the objects that live until the program ends.

#include "model/FileLock.h"

#include <QStringList>

#include <memory>
#include <string>

class CInstanceChannel;
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

    // Runs the start-up; false ends the program. When another window program holds the program
    // directory, this start hands it its arguments and that window comes to the front
    // (HandedOver()); when it does not answer, a message box says it runs. From then on SIGTERM, SIGHUP and
    // SIGINT close the window as its close box does, a session's request to save saves the read
    // marks, and so does an end of the process without a close (Qt ends it when the display's
    // connection breaks).
    bool InitInstance(bool showSplash = true);

    // This start ended because the window program already running took its arguments.
    bool HandedOver() const { return m_bHandedOver; }
    // Where a later start finds this one (empty when it cannot).
    CInstanceChannel* Channel() const { return m_pChannel.get(); }

    CQuarnelDoc* Document() const { return m_pDoc.get(); }
    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }

    // The program directory. Set before InitInstance to name it (main's --dir); left empty,
    // InitInstance chooses it from the environment. InitInstance creates it when missing.
    std::string m_strAppDir;
    // The window program's log (APPDIR/quarnel.log, the one before it quarnel.log.1).
    static std::string LogFilePath();

private:
    // Another start's arguments: the window comes to the front.
    void OnArgumentsHandedOver(const QStringList& arguments);

    CFileLock m_windowLock; // held for the life of the window program
    std::unique_ptr<CInstanceChannel> m_pChannel;
    bool m_bHandedOver = false;
    std::unique_ptr<CQuarnelDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pMainFrame;
    std::unique_ptr<CQuitSignals> m_pQuitSignals;
};
