#pragma once
// The window's status bar: the message pane (a command's prompt, the update progress, why a
// command did nothing) and the info pane, which counts what the list shows (or what a search found,
// and for which keyword) and says when the selected site was last updated.

#include "model/Records.h"

#include <QDateTime>
#include <QStatusBar>
#include <QTimer>

#include <map>

class CDirView;
class CQuarnelView;
class QLabel;

class CStatusPanes : public QStatusBar {
    Q_OBJECT
public:
    // The info pane follows the list's rows and the tree's selection.
    CStatusPanes(CQuarnelView* list, CDirView* tree, QWidget* parent);

    QString MessageText() const;
    void SetMessage(const QString& text);
    // A command's prompt while it is highlighted, the idle text once the highlight goes.
    void ShowTip(const QString& tip);
    QString InfoText() const;
    // The info pane is filled again shortly after the list or the selection changed.
    void ScheduleInfo();
    // What the found lists hold: "查找 “…” 的结果" and the like.
    void SetFoundLabel(const QString& label) { m_foundLabel = label; }
    // An update's notice: a site waiting for an update loses its time of this run; the first
    // notice of success after it sets the time anew.
    void SiteStatusSeen(const CFTPSite* site);
    void SiteGoing(const CFTPSite* site) { m_updatedInRun.erase(site); }

private:
    void RefreshInfo();
    QString SiteUpdatedText(const CFTPSite* site) const;

    CQuarnelView* m_pListView;
    CDirView* m_pDirView;
    QLabel* m_pMessagePane;
    QLabel* m_pInfoPane;
    QTimer m_infoTimer;
    QString m_foundLabel;
    // When sites finished an update in this run (their content.ct may not have been written).
    std::map<const CFTPSite*, QDateTime> m_updatedInRun;
};
