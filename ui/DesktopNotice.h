#pragma once
// A desktop notification when an update run ends while the user works in another window: how
// many sites were updated and how many were not.

#include <QObject>
#include <QString>

#include <functional>
#include <unordered_set>

template <class T> class CObList;
class CFTPSite;
class QWidget;

class CDesktopNotice : public QObject {
    Q_OBJECT
public:
    // Shows one notification. The default hands it to the desktop (SendToDesktop).
    using Sender = std::function<void(const QString& summary, const QString& body)>;
    enum class Route { Bus, Tray, None };

    // `window` decides by being the active window or not; `sites` is the document's list.
    CDesktopNotice(QWidget* window, const CObList<CFTPSite>* sites);

    // The engine told something of this site: it takes part in the current run. Only its address
    // is kept; the site is looked at again only while it is still in the list.
    void SiteStatusSeen(const CFTPSite* site);
    // The run is over. Once the notices already on their way have been handled, the desktop is
    // told how it went, unless the window is the active one or no site took part.
    void RunEnded();

    void SetSender(Sender sender);

    static QString Body(int succeeded, int failed);
    // Through the notification service of the session bus when there is a bus, else as a tray
    // icon's message when there is a tray, else not at all. Never waits for an answer.
    static Route SendToDesktop(const QString& summary, const QString& body);

private:
    void Report();

    QWidget* m_pWindow;
    const CObList<CFTPSite>* m_pSites;
    std::unordered_set<const CFTPSite*> m_runSites;
    Sender m_sender;
};
