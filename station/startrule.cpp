#include "station/startrule.h"

namespace station {

namespace {

class TimeRule : public StartRule {
public:
    explicit TimeRule(bool testsFix) : testsFix_(testsFix) {}
    bool linkSends() const override { return testsFix_; }
    bool connectsAtOnce() const override { return false; }
    bool anyGgaAnswers() const override { return false; }
    bool waitsForReceiver() const override { return false; }

private:
    bool testsFix_;
};

class ReadyRule : public StartRule {
public:
    explicit ReadyRule(bool testsFix) : testsFix_(testsFix) {}
    bool commandNow(const Heard& heard) const override {
        return testsFix_ && heard.sinceOpen && heard.queriesOut;
    }
    bool rateHeardRight(bool heardSinceOpen) const override { return heardSinceOpen; }
    bool takesHeardGga() const override { return testsFix_; }
    bool waitsForReceiver() const override { return testsFix_; }

private:
    bool testsFix_;
};

// The plan's sendAfter still says how a line without GGA times is taken, and
// what is shown before the power-on's moment is taken as the command.
class PowerRule : public StartRule {
public:
    explicit PowerRule(const PlanSettings& plan)
        : ready_(plan.sendsWhenReady()), testsFix_(plan.testsFix()) {}
    bool rateHeardRight(bool heardSinceOpen) const override { return ready_ && heardSinceOpen; }
    bool waitsForReceiver() const override { return ready_ && testsFix_; }

private:
    bool ready_, testsFix_;
};

}  // namespace

std::unique_ptr<StartRule> startRuleOf(const PlanSettings& plan) {
    if (plan.powerStart()) return std::make_unique<PowerRule>(plan);
    if (plan.sendsWhenReady()) return std::make_unique<ReadyRule>(plan.testsFix());
    return std::make_unique<TimeRule>(plan.testsFix());
}

}  // namespace station
