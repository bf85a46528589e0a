// What a unit's run comes to, from its phase and the cycles behind it.
#include <gtest/gtest.h>

#include <vector>

#include "station/unitrun.h"

namespace station {
namespace {

CycleResult cycle(const char* result) {
    CycleResult r;
    r.result = QString::fromLatin1(result);
    return r;
}

TEST(Verdict, FollowsThePhaseAndEveryCycle) {
    struct Case {
        const char* name;
        bool started, done;
        std::vector<const char*> cycles;
        Verdict verdict;
    };
    const Case cases[] = {
        {"never started", false, false, {}, Verdict::Idle},
        {"first cycle under way", true, false, {}, Verdict::Running},
        {"second cycle under way after a pass", true, false, {"pass"}, Verdict::Running},
        {"one pass", true, true, {"pass"}, Verdict::Pass},
        {"three passes", true, true, {"pass", "pass", "pass"}, Verdict::Pass},
        {"one fail", true, true, {"fail"}, Verdict::Fail},
        // A TTFF over the limit fails its cycle and the run goes on: a later
        // pass does not make up for it.
        {"fail then pass", true, true, {"fail", "pass"}, Verdict::Fail},
        {"port missing", true, true, {"station-fault"}, Verdict::Fault},
        {"stopped before any cycle ended", true, true, {"interrupted"}, Verdict::Interrupted},
        {"stopped after a pass", true, true, {"pass", "interrupted"}, Verdict::Interrupted},
        {"stopped without a cycle", true, true, {}, Verdict::Interrupted},
    };
    for (const Case& c : cases) {
        Tally tally;
        for (const char* r : c.cycles) tally.add(cycle(r));
        EXPECT_EQ(verdictOf(c.started, c.done, tally), c.verdict) << c.name;
    }
}

TEST(Verdict, EveryVerdictHasItsOwnWords) {
    const Verdict all[] = {Verdict::Idle, Verdict::Running, Verdict::Pass,
                           Verdict::Fail, Verdict::Fault,   Verdict::Interrupted};
    QStringList words;
    for (Verdict v : all) {
        EXPECT_FALSE(verdictText(v).isEmpty());
        EXPECT_FALSE(words.contains(verdictText(v))) << verdictText(v).toStdString();
        words << verdictText(v);
    }
}

}  // namespace
}  // namespace station
