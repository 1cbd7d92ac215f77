#pragma once
// The one door through which the window's commands reach the catalogue. A command names the
// sites it stands on (or all of them) and says, for each thing that can hold a site, whether it
// goes on regardless, waits, or is refused: a walk of the catalogue in the window thread (a
// search, a mark-read), a thread reading the site's files, an update of the site. A command that
// waits is kept and tried again once what held it has let go: a walk it waits for is asked to
// stop, sites it needs read are read first. Window thread only; the gate frees nothing and
// follows no site pointer, it only compares them.

#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

class CFTPSite;

// Who holds what, as the gate asks it (the window answers for the document, the site loader and
// the update engine).
class IGateHolders {
public:
    virtual ~IGateHolders() = default;
    virtual bool Walking() const = 0;
    // Asks the running walk to stop at its next check.
    virtual void StopWalk() = 0;
    virtual bool Reading(const CFTPSite* site) const = 0;
    // Starts reading the site's tree in a thread when it is not loaded yet.
    virtual void ReadIfUnloaded(CFTPSite* site) = 0;
    virtual bool Updating(const CFTPSite* site) const = 0;
    virtual std::vector<CFTPSite*> AllSites() const = 0;
    // Runs `work` in this thread after the events waiting now.
    virtual void Post(std::function<void()> work) = 0;
};

// What holds a command back.
enum class Hold { None, Walk, Read, Update };

enum class IfHeld { Go, Wait, Refuse };

struct CGateRule {
    IfHeld walk = IfHeld::Wait;
    IfHeld read = IfHeld::Wait;
    IfHeld update = IfHeld::Go;
    // Sites not loaded yet are read first, in threads, and waited for.
    bool readFirst = false;
    // The command is a walk itself: while it runs, StopAsked() answers its checks.
    bool walks = false;
};

struct CGateCommand {
    bool allSites = false;
    std::vector<CFTPSite*> sites; // with allSites: taken when the command is handed in
    CGateRule rule;
    std::function<void()> run;
};

class CCommandGate {
public:
    enum class Outcome { Ran, Waits, Refused, Free };
    struct Verdict {
        Outcome outcome;
        Hold by; // what holds it (Waits, Refused)
    };

    explicit CCommandGate(IGateHolders& holders) : m_holders(holders) {}

    // Runs the command now when nothing holds it, else keeps it or refuses it as its rule says.
    Verdict Run(CGateCommand command);
    // The same, but a command free to go is not run: the answer is Free and the caller goes on.
    Verdict Admit(CGateCommand command);

    // What holds a site now, the first of walk, update, read; for the window's own polls, which
    // come back later rather than wait here.
    Hold HeldBy(const CFTPSite* site) const;
    bool Walking() const { return m_holders.Walking(); }
    bool Reading(const CFTPSite* site) const { return m_holders.Reading(site); }
    bool Updating(const CFTPSite* site) const { return m_holders.Updating(site); }

    // The running walk's question at each check: a newer command wants it to end.
    bool StopAsked() const { return m_bStopAsked; }
    // Asks the running walk to stop (a newer search of the same field replaces it).
    void AskStop() { m_bStopAsked = true; }

    // The walk of the catalogue has ended: commands that waited for it are tried again, after the
    // events waiting now, and after the walk command whose walk it was.
    void WalkEnded();
    // A thread reading a site has ended: commands that waited for it are tried again.
    void ReadsEnded();
    // The site leaves the catalogue: commands held for it alone are dropped, the others no
    // longer wait for it.
    void SiteRemoved(const CFTPSite* site);
    // The window closes: what waits is dropped.
    void Clear();
    std::size_t WaitingCount() const { return m_afterWalk.size() + m_afterReads.size() + m_releasing.size(); }

private:
    Verdict Pass(CGateCommand command, bool run);
    void RunWalk(const std::function<void()>& run);
    void ReleaseAfterWalk();
    // Tries the released commands again, one at a time, so that a site removed by one of them is
    // no longer named by those after it.
    void DrainReleased();

    IGateHolders& m_holders;
    bool m_bStopAsked = false;
    int m_nWalkCommands = 0; // walk commands running, nested in each other's event loops
    bool m_bReleasePosted = false;
    std::vector<CGateCommand> m_afterWalk;
    struct CAfterReads {
        std::vector<const CFTPSite*> pending; // still being read
        CGateCommand command;
    };
    std::vector<CAfterReads> m_afterReads;
    std::deque<CGateCommand> m_releasing;
};
