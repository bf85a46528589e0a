// Holding a fix at a level (go/no-go): from a fix at the plan's level, the
// generator set to --hold-level at the slot's antenna port, where the fix
// must be kept for --hold-time.  A quicker check than the tracking search
// for a line that needs to know only that a unit tracks as weak a signal as
// its data sheet says.
//
// - A fix first, at the plan's level, waited for up to the fix time-out
//   (no-fix otherwise).
// - The level is asked of the sweep at this slot's own path loss, so that
//   the unit has the level the plan names; the sweep is asked every 100 ms
//   whether the slot may dwell, as the sensitivity tests ask it.
// - A GGA without a fix during the dwell fails the unit (fix-lost); the fix
//   kept to the end of it passes.
// - An instrument fault ends the test as the station's fault.
#include "station/sensitivity.h"
#include "station/testtypes.h"

namespace station::testrows {

namespace {

constexpr qint64 kAskEveryMs = 100;

class HoldRun : public RunTest {
public:
    HoldRun(double levelDbm, qint64 holdMs, qint64 fixWaitMs, SweepSlot slot)
        : levelDbm_(levelDbm), holdMs_(holdMs), fixWaitMs_(fixWaitMs), slot_(slot) {}

    Kind kind() const override { return Kind::Measuring; }
    void start(qint64 nowMs) override { fixUntilMs_ = nowMs + fixWaitMs_; }
    bool started() const override { return fixUntilMs_.has_value(); }
    void gga(const Gga& gga, qint64 nowNs) override {
        hasFix_ = isRealFix(gga.quality);
        if (holdUntilMs_ && !hasFix_) return finish(Reason::FixLost);
        tick(nowNs / 1000000);
    }
    void tick(qint64 nowMs) override {
        if (verdict_ || !started()) return;
        if (const auto& fault = slot_.sweep->faulted())
            return finish(Reason::InstrumentFault, *fault);
        if (holdUntilMs_) {
            if (nowMs >= *holdUntilMs_) finish(Reason::Ok);
        } else if (asked_) {
            if (slot_.sweep->dwelling(slot_.slot)) holdUntilMs_ = nowMs + holdMs_;
        } else if (hasFix_) {
            asked_ = true;
            slot_.sweep->request(slot_.slot, levelDbm_ + slot_.lossDb);
            tick(nowMs);
        } else if (nowMs >= *fixUntilMs_) {
            finish(Reason::NoFix, QStringLiteral("no fix at the plan's level before the hold"));
        }
    }
    std::optional<qint64> nextDeadlineMs(qint64 nowMs) const override {
        if (verdict_ || !started()) return std::nullopt;
        if (holdUntilMs_) return holdUntilMs_;
        return asked_ ? nowMs + kAskEveryMs : *fixUntilMs_;
    }
    std::optional<Reason> verdict() const override { return verdict_; }
    void stop(Reason why) override {
        if (!verdict_) finish(why);
    }
    QString note() const override { return note_; }
    void show(Stage& stage, qint64) const override {
        stage.sv = QStringLiteral("%1 dBm").arg(levelDbm_, 0, 'f', 1);
    }

private:
    void finish(Reason reason, QString note = {}) {
        if (verdict_) return;
        verdict_ = reason;
        note_ = std::move(note);
        slot_.sweep->leave(slot_.slot);
    }

    double levelDbm_;
    qint64 holdMs_, fixWaitMs_;
    SweepSlot slot_;
    std::optional<qint64> fixUntilMs_, holdUntilMs_;
    bool hasFix_ = false, asked_ = false;
    std::optional<Reason> verdict_;
    QString note_;
};

std::unique_ptr<RunTest> make(const TestMaking& m) {
    if (!m.sweep) return nullptr;
    return std::make_unique<HoldRun>(ownNumber(m.unit, "hold_level_dbm"),
                                     qint64(ownNumber(m.unit, "hold_time")) * 1000,
                                     qint64(m.unit.fixTimeoutS) * 1000, *m.sweep);
}

}  // namespace

TestTypeRow hold() {
    TestTypeRow row{"hold", 45};
    row.said = "hold (the fix kept at --hold-level for --hold-time, go/no-go)";
    row.saidAt = 50;  // before config
    row.settings = {
        Setting{"hold_level_dbm", "hold-level", "DBM",
                "The level at the antenna port a hold test keeps the fix at (default %1).",
                Kind::Number, OwnNumber{-155}}
            .range(-200, 0, "dBm")
            .notStored()
            .when(InForce::UnlessDefault),
        Setting{"hold_time", "hold-time", "S",
                "Seconds a hold test keeps the fix at --hold-level (default %1).", Kind::Number,
                OwnNumber{30, true}}
            .range(1, 3600, "s")
            .notStored()
            .when(InForce::UnlessDefault),
    };
    row.needsGenerator =
        "the hold test sets the level at the antenna port: it needs the signal generator "
        "(--generator)";
    row.readsCalibration = row.readsPathLoss = true;
    row.make = make;
    return row;
}

}  // namespace station::testrows
