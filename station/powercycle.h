// The slot's power switched off, left off for the plan's off time and
// switched on again: a power start, or a unit that sent nothing switched off
// and on once.  No clock and no command of its own: the run runs the
// fixture's power command it asks for, says how it ended, and ticks it at
// nextDeadlineMs().
//
// - "off" first; once it ended, the supply stays off for the off time,
//   counted from that moment; then "on".
// - A command that fails ends it (a station fault, power-failed), saying
//   which and how.
// - The run acts on what the unit did meanwhile only once it is back on:
//   the slot is never left off.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace station {

class PowerCycle {
public:
    enum class Step {
        SwitchingOff,  // "off" runs
        Off,           // the off time
        SwitchingOn,   // "on" runs
        On,
        Failed,
    };

    explicit PowerCycle(double offTimeS) : offTimeS_(offTimeS) {}

    Step step() const { return step_; }
    // The fixture's command the step runs: "off" or "on"; empty: none.
    QString command() const;
    // The command ended at nowMs: well with no failure, else in the words of
    // how it failed (hook.h's hookFailure).
    void commandEnded(const QString& failure, qint64 nowMs);
    void tick(qint64 nowMs);
    std::optional<qint64> nextDeadlineMs() const;

    // What it does, in the station's words; empty once on.
    QString note() const;
    // Why it failed, once it has.
    const QString& problem() const { return problem_; }

private:
    double offTimeS_;
    Step step_ = Step::SwitchingOff;
    qint64 offAtMs_ = 0;  // when the "off" command ended
    QString problem_;
};

}  // namespace station
