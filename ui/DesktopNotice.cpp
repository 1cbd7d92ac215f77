#include "ui/DesktopNotice.h"

#include "model/ObList.h"
#include "model/Records.h"
#include "ui/Icons.h"
#include "update/UpdateScheduler.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#ifdef QUARNEL_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>
#endif

namespace {

constexpr int kTrayMessageMs = 10000;

bool ShowInTray(const QString& summary, const QString& body) {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    // An icon only for the message's time: the program lives in its window, not in the tray.
    auto* tray = new QSystemTrayIcon(Icons::AppIcon(), QCoreApplication::instance());
    tray->show();
    tray->showMessage(summary, body, QSystemTrayIcon::Information, kTrayMessageMs);
    QTimer::singleShot(kTrayMessageMs, tray, &QObject::deleteLater);
    return true;
}

#ifdef QUARNEL_HAVE_DBUS
// Without an address the bus library would try to launch a bus of its own; no bus is no
// notification.
bool SessionBusConfigured() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}
#endif

} // namespace

CDesktopNotice::CDesktopNotice(QWidget* window, const CObList<CFTPSite>* sites)
    : QObject(window), m_pWindow(window), m_pSites(sites),
      m_sender([](const QString& summary, const QString& body) { SendToDesktop(summary, body); }) {
    setObjectName(QStringLiteral("desktopNotice"));
}

void CDesktopNotice::SiteStatusSeen(const CFTPSite* site) {
    m_runSites.insert(site);
}

void CDesktopNotice::RunEnded() {
    // Workers post their last notice before they count themselves out; a queued call runs
    // after those already posted.
    QMetaObject::invokeMethod(this, &CDesktopNotice::Report, Qt::QueuedConnection);
}

void CDesktopNotice::SetSender(Sender sender) {
    m_sender = std::move(sender);
}

QString CDesktopNotice::Body(int succeeded, int failed) {
    return QStringLiteral("更新完成: 成功 %1 个站点, 失败 %2 个").arg(succeeded).arg(failed);
}

void CDesktopNotice::Report() {
    // An update command came in meanwhile: the run goes on and is told of when it ends.
    if (IsUpdateWorkPending())
        return;
    int succeeded = 0;
    int failed = 0;
    for (std::size_t i = 0; i < m_pSites->GetCount(); ++i) {
        const CFTPSite* site = m_pSites->GetAt(i);
        if (!m_runSites.count(site))
            continue;
        // A site whose files could not be written was not updated, whatever the crawl did;
        // stopped, refused and skipped sites were not either.
        if (site->m_nUpdateStatus.load() == UpdateStatus::Succeeded && site->m_nSaveError.load() == 0)
            ++succeeded;
        else
            ++failed;
    }
    m_runSites.clear();
    if (succeeded + failed == 0 || m_pWindow->isActiveWindow())
        return;
    m_sender(QStringLiteral("Quarnel"), Body(succeeded, failed));
}

CDesktopNotice::Route CDesktopNotice::SendToDesktop(const QString& summary, const QString& body) {
#ifdef QUARNEL_HAVE_DBUS
    if (SessionBusConfigured()) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.Notifications"),
                QStringLiteral("/org/freedesktop/Notifications"),
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
            const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("quarnel")}};
            call << QStringLiteral("Quarnel") << quint32(0) << QStringLiteral("quarnel") << summary << body
                 << QStringList() << hints << qint32(-1);
            // The answer comes later; a bus without the service answers with an error, and the
            // tray takes the message then.
            auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
            QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                             [summary, body](QDBusPendingCallWatcher* w) {
                                 if (w->isError())
                                     ShowInTray(summary, body);
                                 w->deleteLater();
                             });
            return Route::Bus;
        }
    }
#endif
    return ShowInTray(summary, body) ? Route::Tray : Route::None;
}
