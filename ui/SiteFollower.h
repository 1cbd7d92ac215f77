#pragma once
// Keeps the window and the program directory in step while the window is open. Other programs (a
// quarnel-cli run, a second window) save into it: site.ds is looked at every two seconds and the
// site tree takes in its sites; a loaded site whose files were replaced is read again in a thread
// and what was read takes the place of its tree, unless the window walks the catalogue, reads or
// updates the site meanwhile (then the next look reads the files again). The other way round, read
// marks changed here reach the disk a few seconds after the last change, not only at close: a
// logout or a kill must not take them along.

#include "model/Records.h"
#include "ui/SiteFiles.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

class CCommandGate;
class CQuarnelDoc;

class CSiteFollower {
public:
    // How often site.ds and the loaded sites' files are looked at.
    static constexpr int kPollMs = 2000;
    // How long a site whose marks could not be saved before a reload waits for the next try.
    static constexpr qint64 kReloadRetryMs = 60000;
    // Read marks are saved this long after the last one changed (and at close).
    static constexpr int kMarkSaveDelayMs = 3000;

    // The gate says what holds a site: a walk, a thread reading it, an update.
    CSiteFollower(CQuarnelDoc& doc, ISiteFiles& files, const CCommandGate& gate);

    // Sites another program changed in site.ds are handed to `relabel`; the site tree then takes
    // in those it does not show yet (`addMissing`). A site read anew goes to `replaced`.
    void SetCallbacks(std::function<void(const std::vector<CFTPSite*>&)> relabel,
                      std::function<void()> addMissing, std::function<void(CFTPSite*)> replaced);

    // From now on, site.ds as it is now counts as what the document has read.
    void SiteListSeen();
    // One look at what other programs saved (the timer's).
    void Poll();
    // What a reload read: null when the site's marks could not be saved first.
    void Reloaded(CFTPSite* site, std::shared_ptr<CFTPSite::CStoredTree> tree);
    void SiteRemoved(const CFTPSite* site);

    // While the window closes nothing is read again, and the marks are left to the close; a close
    // given up lets it go on. Stop: the window has closed.
    void SetClosing(bool closing) { m_bClosing = closing; }
    void Stop();

    void SetMarkSaveDelay(int ms) { m_markSaveTimer.setInterval(ms); }
    // Saves the unsaved read marks of every site that no update or thread holds, in this thread.
    // The number of sites saved.
    std::size_t SaveMarksNow(const std::string& why);

private:
    void FollowSiteFiles();
    void FollowSiteList();
    void WatchMarks();
    void SaveMarksInThreads();

    CQuarnelDoc& m_doc;
    ISiteFiles& m_files;
    const CCommandGate& m_gate;
    std::function<void(const std::vector<CFTPSite*>&)> m_relabel;
    std::function<void()> m_addMissing;
    std::function<void(CFTPSite*)> m_replaced;
    QTimer m_pollTimer;
    std::string m_siteListSeen; // size, inode and time of site.ds when last looked at
    // Sites whose marks could not be saved before a reload, and since when: not tried again for a
    // while (only compared, never followed).
    std::map<const CFTPSite*, QElapsedTimer> m_reloadsHeld;
    QTimer m_markWatchTimer;
    QTimer m_markSaveTimer;
    uint64_t m_nMarksSeen = 0;
    bool m_bClosing = false;
};
