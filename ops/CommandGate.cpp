#include "ops/CommandGate.h"

#include <algorithm>

CCommandGate::Verdict CCommandGate::Run(CGateCommand command) {
    return Pass(std::move(command), true);
}

CCommandGate::Verdict CCommandGate::Admit(CGateCommand command) {
    return Pass(std::move(command), false);
}

CCommandGate::Verdict CCommandGate::Pass(CGateCommand command, bool run) {
    CGateRule& rule = command.rule;
    if (command.allSites && command.sites.empty())
        command.sites = m_holders.AllSites();
    std::erase(command.sites, nullptr);

    // An update is never waited for here: its end is no event of the gate's.
    if (rule.update != IfHeld::Go)
        for (const CFTPSite* site : command.sites)
            if (m_holders.Updating(site))
                return {Outcome::Refused, Hold::Update};

    if (rule.readFirst)
        for (CFTPSite* site : command.sites)
            m_holders.ReadIfUnloaded(site);
    if (rule.read != IfHeld::Go) {
        std::vector<const CFTPSite*> pending;
        for (const CFTPSite* site : command.sites)
            if (m_holders.Reading(site))
                pending.push_back(site);
        if (!pending.empty()) {
            if (rule.read == IfHeld::Refuse)
                return {Outcome::Refused, Hold::Read};
            // Read once: a site whose read failed is not read again and again.
            rule.readFirst = false;
            m_afterReads.push_back({std::move(pending), std::move(command)});
            return {Outcome::Waits, Hold::Read};
        }
    }

    if (rule.walk != IfHeld::Go && m_holders.Walking()) {
        if (rule.walk == IfHeld::Refuse)
            return {Outcome::Refused, Hold::Walk};
        m_bStopAsked = true;
        m_holders.StopWalk();
        m_afterWalk.push_back(std::move(command));
        return {Outcome::Waits, Hold::Walk};
    }

    if (!run)
        return {Outcome::Free, Hold::None};
    if (rule.walks)
        RunWalk(command.run);
    else
        command.run();
    return {Outcome::Ran, Hold::None};
}

void CCommandGate::RunWalk(const std::function<void()>& run) {
    m_bStopAsked = false;
    ++m_nWalkCommands;
    run();
    --m_nWalkCommands;
    // Also a walk that never began (nothing to walk), which tells nobody it ended.
    if (!m_holders.Walking())
        WalkEnded();
}

void CCommandGate::WalkEnded() {
    // The command whose walk this was may go on (a message about what it found): what waited
    // goes after the whole command.
    if (m_nWalkCommands > 0)
        return;
    m_bStopAsked = false;
    if (m_afterWalk.empty() || m_bReleasePosted)
        return;
    m_bReleasePosted = true;
    m_holders.Post([this] { ReleaseAfterWalk(); });
}

void CCommandGate::ReleaseAfterWalk() {
    m_bReleasePosted = false;
    // In the order they came; each is asked again, and may wait anew for a walk one of them began.
    for (CGateCommand& command : m_afterWalk)
        m_releasing.push_back(std::move(command));
    m_afterWalk.clear();
    DrainReleased();
}

void CCommandGate::DrainReleased() {
    while (!m_releasing.empty()) {
        CGateCommand command = std::move(m_releasing.front());
        m_releasing.pop_front();
        Pass(std::move(command), true);
    }
}

void CCommandGate::ReadsEnded() {
    for (auto it = m_afterReads.begin(); it != m_afterReads.end();) {
        std::erase_if(it->pending, [this](const CFTPSite* site) { return !m_holders.Reading(site); });
        if (!it->pending.empty()) {
            ++it;
            continue;
        }
        m_releasing.push_back(std::move(it->command));
        it = m_afterReads.erase(it);
    }
    DrainReleased();
}

void CCommandGate::SiteRemoved(const CFTPSite* site) {
    // A command for all sites goes on without it; one naming it is about what is gone.
    auto namesIt = [site](CGateCommand& command) {
        if (command.allSites) {
            std::erase(command.sites, site);
            return false;
        }
        return std::find(command.sites.begin(), command.sites.end(), site) != command.sites.end();
    };
    std::erase_if(m_afterWalk, namesIt);
    std::erase_if(m_releasing, namesIt);
    bool freed = false;
    std::erase_if(m_afterReads, [&](CAfterReads& held) {
        std::erase(held.pending, site);
        if (namesIt(held.command))
            return true;
        freed = freed || held.pending.empty();
        return false;
    });
    // What waited for the removed site alone goes on, outside the removal.
    if (freed)
        m_holders.Post([this] { ReadsEnded(); });
}

void CCommandGate::Clear() {
    m_afterWalk.clear();
    m_releasing.clear();
    m_afterReads.clear();
}

Hold CCommandGate::HeldBy(const CFTPSite* site) const {
    if (m_holders.Walking())
        return Hold::Walk;
    if (m_holders.Updating(site))
        return Hold::Update;
    if (m_holders.Reading(site))
        return Hold::Read;
    return Hold::None;
}
