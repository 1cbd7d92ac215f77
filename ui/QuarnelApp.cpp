#include "ui/QuarnelApp.h"

#include "model/FileLock.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/ProgramDir.h"
#include "ops/QuarnelDoc.h"
#include "ui/FileTypeIcons.h"
#include "ui/InstanceChannel.h"
#include "ui/MainFrame.h"
#include "ui/MessageBoxes.h"
#include "ui/QuitSignals.h"
#include "ui/Splash.h"
#include "ui/WindowPlacement.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The window of this process while it can still save: exit() runs the handler below without
// unwinding the stack, so the window and its document are still there.
CMainFrame* g_pExitFrame = nullptr;

void SaveMarksAtExit() {
    CMainFrame* frame = g_pExitFrame;
    g_pExitFrame = nullptr;
    if (frame)
        frame->SaveMarksNow("as the program ended without its window closed");
}

} // namespace

CQuarnelApp::CQuarnelApp() = default;

CQuarnelApp::~CQuarnelApp() {
    g_pExitFrame = nullptr;
    m_pQuitSignals.reset();
    m_pChannel.reset();
    // The window refers to the document: it goes first.
    m_pMainFrame.reset();
    m_pDoc.reset();
    StopLogging();
}

std::string CQuarnelApp::LogFilePath() {
    return GetAppDir() + "/quarnel.log";
}

bool CQuarnelApp::InitInstance(bool showSplash) {
    if (m_strAppDir.empty()) {
        const ProgramDirChoice chosen = ChooseProgramDir(ProgramDirInputsOfProcess(std::nullopt));
        m_strAppDir = chosen.error.empty() ? chosen.path : ExecutableDir();
    }
    // The window always has a directory to write to; when it cannot be made, loading site.ds
    // says so, naming the file.
    const CResult<void> made = EnsureProgramDir(m_strAppDir);
    SetAppDir(m_strAppDir);
    // One window per program directory: two would each keep unsaved marks and site changes
    // the other cannot see. The lock goes with the process, however it ends.
    const QString channelPath =
        CInstanceChannel::SocketPath(QFile::decodeName(QByteArray::fromStdString(m_strAppDir)));
    if (!m_windowLock.Lock(WindowLockPath(), std::chrono::milliseconds(0)) && errno == EWOULDBLOCK) {
        // The window already there takes this start's arguments and comes to the front.
        if (CInstanceChannel::HandOver(channelPath, QCoreApplication::arguments().mid(1))) {
            m_bHandedOver = true;
            return false;
        }
        MessageBoxes::Show(nullptr, QMessageBox::Information, QString::fromUtf8(kAlreadyRunning));
        return false;
    }
    // Listening from the start: a second start during the splash is answered too.
    m_pChannel = std::make_unique<CInstanceChannel>();
    const bool listening = m_pChannel->Listen(channelPath);
    QObject::connect(m_pChannel.get(), &CInstanceChannel::ArgumentsReceived,
                     [this](const QStringList& arguments) { OnArgumentsHandedOver(arguments); });
    // Only the program holding the window lock writes the log, so rotation has one writer.
    // Without a writable program directory there is simply no log.
    LogToFile(LogFilePath(), LogLevel::Info);
    LogInfo("start");
    if (!made)
        LogError("program directory: " + made.error().Text());
    if (!listening)
        LogWarning("a second start cannot reach this window: it will only say that one runs");

    std::unique_ptr<CSplash> splash;
    if (showSplash) {
        splash = std::make_unique<CSplash>();
        splash->ShowCentred();
        // The picture stays up for a second; the loop keeps it painted meanwhile.
        QEventLoop wait;
        QTimer::singleShot(kSplashMs, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }

    CFileTypeIcons::UseIconTheme();

    m_pDoc = std::make_unique<CQuarnelDoc>();
    m_pMainFrame = std::make_unique<CMainFrame>(m_pDoc.get());
    const LoadOutcome outcome = m_pDoc->OnNewDocument();
    if (!outcome.ok) {
        // The file's path is in the system's encoding, not necessarily UTF-8.
        MessageBoxes::Show(nullptr, QMessageBox::Warning, QString::fromStdString(outcome.message),
                           QFile::decodeName(QByteArray::fromStdString(outcome.detail)));
    }
    m_pMainFrame->OnInitialUpdate();
    // Where the user left the window last time; saved again as it closes.
    CMainFrame* frame = m_pMainFrame.get();
    WindowPlacement::Restore(*frame, *frame->Splitter());
    QObject::connect(frame, &CMainFrame::Closed, frame,
                     [frame] { WindowPlacement::Save(*frame, *frame->Splitter()); });

    // A logout, a kill or Ctrl-C end the program the way its close box does.
    m_pQuitSignals = std::make_unique<CQuitSignals>();
    QObject::connect(m_pQuitSignals.get(), &CQuitSignals::Received, frame, [frame](int number) {
        frame->CloseFromOutside(std::string("signal ") + sigabbrev_np(number));
    });
    // A session manager asks before it ends the session; the marks are written then and there.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        QObject::connect(gui, &QGuiApplication::commitDataRequest, frame,
                         [frame](QSessionManager&) { frame->SaveMarksNow("as the session asked"); });
    // When the display's connection breaks, Qt's X11 support ends the process with exit(): the
    // handlers registered with atexit() run, in this thread, and the marks are saved there.
    static bool exitHandlerSet = false;
    if (!exitHandlerSet)
        exitHandlerSet = std::atexit(SaveMarksAtExit) == 0;
    g_pExitFrame = frame;

    m_pMainFrame->show();
    m_pMainFrame->activateWindow();
    m_pMainFrame->raise();
    if (splash)
        splash->close();
    return true;
}

void CQuarnelApp::OnArgumentsHandedOver(const QStringList& arguments) {
    // The command line takes nothing a running window acts on but --dir, which is this window's
    // directory (the channel is named from it): the window comes to the front.
    LogInfo("a second start came to this window, with " +
            (arguments.isEmpty() ? std::string("no arguments")
                                 : "the arguments " + arguments.join(QLatin1Char(' ')).toStdString()));
    CMainFrame* frame = m_pMainFrame.get();
    if (!frame)
        return; // still starting: it shows and comes to the front itself
    if (frame->isMinimized())
        frame->setWindowState((frame->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    frame->show();
    frame->raise();
    frame->activateWindow();
    // A dialog open over it stays in front of it.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}
