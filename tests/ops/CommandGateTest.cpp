// The command gate's rules, one table: what holds a command's sites when it comes, what it is
// told, and whether it runs once what held it lets go (or its site is removed meanwhile).
#include "ops/CommandGate.h"
#include "model/Records.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>

namespace {

struct FakeHolders : IGateHolders {
    CFTPSite sites[2];
    bool walking = false;
    std::set<const CFTPSite*> reading, updating, unloaded;
    std::vector<std::function<void()>> posted;
    int stops = 0;
    int readsStarted = 0;

    bool Walking() const override { return walking; }
    void StopWalk() override { ++stops; }
    bool Reading(const CFTPSite* site) const override { return reading.count(site) != 0; }
    void ReadIfUnloaded(CFTPSite* site) override {
        if (unloaded.erase(site)) {
            reading.insert(site);
            ++readsStarted;
        }
    }
    bool Updating(const CFTPSite* site) const override { return updating.count(site) != 0; }
    std::vector<CFTPSite*> AllSites() const override {
        return {const_cast<CFTPSite*>(&sites[0]), const_cast<CFTPSite*>(&sites[1])};
    }
    void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }
    void RunPosted() {
        auto work = std::move(posted);
        posted.clear();
        for (auto& w : work)
            w();
    }
};

using Outcome = CCommandGate::Outcome;
constexpr IfHeld Go = IfHeld::Go, Wait = IfHeld::Wait, Refuse = IfHeld::Refuse;

// `held` when the command comes: W a walk runs, R0/R1 site 0/1 is being read, U0 site 0 is being
// updated, L0 site 0 is not read yet. `then`, in turn: w the walk ends, r the reads end, x site 0
// is removed. The command stands on site 0, or on all sites.
struct Case {
    const char* name;
    CGateRule rule;
    bool all;
    std::string held;
    Outcome outcome;
    Hold by;
    std::string then;
    int runs; // at the end
};

// Named by its row in ctest's list.
void PrintTo(const Case& row, std::ostream* out) {
    *out << row.name;
}

// clang-format off
const Case kCases[] = {
    {"FreeRunsAtOnce",           {},                   false, "",   Outcome::Ran,     Hold::None,   "",   1},
    {"WaitsForAWalkStoppingIt",  {},                   false, "W",  Outcome::Waits,   Hold::Walk,   "w",  1},
    {"RefusedByAWalk",           {Refuse},             false, "W",  Outcome::Refused, Hold::Walk,   "w",  0},
    {"GoesOnDuringAWalk",        {Go},                 false, "W",  Outcome::Ran,     Hold::None,   "",   1},
    {"WaitsForItsSitesRead",     {},                   false, "R0", Outcome::Waits,   Hold::Read,   "r",  1},
    {"AnotherSitesReadHoldsNot", {},                   false, "R1", Outcome::Ran,     Hold::None,   "",   1},
    {"AllSitesWaitForAnyRead",   {},                   true,  "R1", Outcome::Waits,   Hold::Read,   "r",  1},
    {"RefusedByAnUpdate",        {Wait, Wait, Refuse}, false, "U0", Outcome::Refused, Hold::Update, "",   0},
    {"AnUpdateHoldsBackNothing", {},                   false, "U0", Outcome::Ran,     Hold::None,   "",   1},
    {"ReadFirstThenRun",         {Wait, Wait, Go, true}, false, "L0", Outcome::Waits, Hold::Read,   "r",  1},
    {"AReadThenAWalk",           {},                   false, "WR0", Outcome::Waits,  Hold::Read,   "rw", 1},
    {"RemovedSiteDropsReadWait", {},                   false, "R0", Outcome::Waits,   Hold::Read,   "xr", 0},
    {"RemovedSiteDropsWalkWait", {},                   false, "W",  Outcome::Waits,   Hold::Walk,   "xw", 0},
    {"AllSitesGoOnWithoutIt",    {},                   true,  "R0", Outcome::Waits,   Hold::Read,   "x",  1},
};
// clang-format on

class CommandGateTest : public testing::TestWithParam<Case> {};

TEST_P(CommandGateTest, HoldsUntilReleased) {
    const Case& c = GetParam();
    FakeHolders holders;
    CCommandGate gate(holders);
    CFTPSite* site0 = &holders.sites[0];
    auto has = [&c](const char* hold) { return c.held.find(hold) != std::string::npos; };
    holders.walking = has("W");
    for (int i : {0, 1})
        if (has(i == 0 ? "R0" : "R1"))
            holders.reading.insert(&holders.sites[i]);
    if (has("U0"))
        holders.updating.insert(site0);
    if (has("L0"))
        holders.unloaded.insert(site0);

    int runs = 0;
    CGateCommand command{c.all, c.all ? std::vector<CFTPSite*>{} : std::vector<CFTPSite*>{site0}, c.rule,
                         [&runs] { ++runs; }};
    const CCommandGate::Verdict verdict = gate.Run(command);
    EXPECT_EQ(verdict.outcome, c.outcome);
    EXPECT_EQ(verdict.by, c.by);
    EXPECT_EQ(holders.stops, verdict.by == Hold::Walk && c.outcome == Outcome::Waits ? 1 : 0);
    EXPECT_EQ(gate.StopAsked(), holders.stops > 0);

    for (char step : c.then) {
        switch (step) {
        case 'w':
            holders.walking = false;
            gate.WalkEnded();
            EXPECT_FALSE(gate.StopAsked());
            break;
        case 'r':
            holders.reading.clear();
            gate.ReadsEnded();
            break;
        case 'x':
            holders.reading.erase(site0);
            gate.SiteRemoved(site0);
            break;
        }
        holders.RunPosted();
    }
    EXPECT_EQ(runs, c.runs);
    EXPECT_EQ(gate.WaitingCount(), 0u);
    EXPECT_LE(holders.readsStarted, 1); // a site is read once, however often its command is tried
}

INSTANTIATE_TEST_SUITE_P(Rules, CommandGateTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

// A walk asked for while another runs stops it and follows it, once the whole command that walked
// has ended and after the events waiting then; a command free to go is handed back by Admit
// without being run.
TEST(CommandGateWalks, FollowInTurn) {
    FakeHolders holders;
    CCommandGate gate(holders);
    std::vector<int> order;
    const CGateRule walkRule{.walks = true};
    CGateCommand second{true, {}, walkRule, [&] { order.push_back(2); }};
    CGateCommand first{true, {}, walkRule, [&] {
                           order.push_back(1);
                           holders.walking = true;
                           EXPECT_EQ(gate.Run(second).outcome, Outcome::Waits);
                           EXPECT_TRUE(gate.StopAsked());
                           holders.walking = false;
                           gate.WalkEnded();
                           EXPECT_TRUE(holders.posted.empty()); // not before this command ends
                       }};
    EXPECT_EQ(gate.Run(first).outcome, Outcome::Ran);
    EXPECT_EQ(order, (std::vector<int>{1}));
    EXPECT_FALSE(gate.StopAsked());
    holders.RunPosted();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(gate.WaitingCount(), 0u);
    EXPECT_EQ(gate.Admit({true, {}, {}, [] { FAIL(); }}).outcome, Outcome::Free);
}

} // namespace
