// A guided gauge study at the station window: which unit goes into which
// slot for which trial, and how far the study has come.  No widgets, no
// ports, no clock: the window feeds in what it starts and what the store
// kept.
//
// The order is balanced: a trial is a run of rounds, in each round every
// slot holds a different unit (or none, where there are fewer units than
// slots), and over a trial's rounds every unit visits every slot exactly
// once.  With N the larger of the unit and slot counts, round r of a trial
// puts in slot s the unit (s + r) mod N, when there is one: a Latin square
// cut to the units and slots there are.  A trial is therefore units × slots
// runs in N rounds, and the study units × slots × trials runs.
//
// The study goes round by round: the next round's units go in once every
// slot of this round has given its result.  A run counts once its result is
// kept with a unit's verdict (pass or fail); a station fault or a stopped run
// measured nothing, and its unit goes into the same slot again.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace stationwin {

struct StudyPlan {
    QString name;
    QStringList units;  // serial numbers, in the order given
    int slotCount = 0;  // the window's slots, in tile order
    int trials = 0;
};

// Why the plan cannot be run, in words naming the mistake; empty when it can.
// A gauge R&R needs two units, two slots and two trials at least.
QString studyPlanProblem(const StudyPlan& plan);

// The serial numbers in a text as typed or scanned into the study's dialog:
// separated by spaces, commas, semicolons or line breaks.
QStringList studyUnits(const QString& text);

struct StudyStep {
    int trial = 0;  // from 0
    int round = 0;  // from 0, over the whole study
    int slot = 0;   // from 0
    int unit = 0;   // index into StudyPlan::units
};

// Rounds in each trial: the larger of the unit and slot counts.
int studyRoundsPerTrial(const StudyPlan& plan);
// Every run of the study in order, round by round and slot by slot within a
// round; slots without a unit in a round have no step.
std::vector<StudyStep> studyOrder(const StudyPlan& plan);

class StudyProgress {
public:
    explicit StudyProgress(StudyPlan plan);

    const StudyPlan& plan() const { return plan_; }
    int total() const { return int(steps_.size()); }
    int done() const;
    bool finished() const { return done() == total(); }
    // The round under way (from 0): the first with a run not done yet.
    int round() const;
    // The trial the round under way belongs to, from 1.
    int trial() const;

    // The unit the slot takes now; empty when its run in this round is
    // under way or done, or the round has no unit for it.
    QString expected(int slot) const;
    // Why the serial may not start in the slot now, naming the unit that
    // may; empty when it may.
    QString refusal(int slot, const QString& serial) const;
    // The slot's run of its expected unit has started.
    void started(int slot);
    // The slot's run under way has a kept result: measured (a pass or fail)
    // counts it, else the slot takes the same unit again.
    void ended(int slot, bool measured);

    // "trial 2 of 2, 7 of 12 runs"
    QString progressText() const;
    // Each slot's unit now: "slot 1: U2, slot 2: U3"; a slot whose run is
    // under way or done is left out.
    QString nextText() const;

private:
    enum class State { ToDo, Running, Done };
    // The step of the round under way for the slot, or -1.
    int stepOf(int slot) const;

    StudyPlan plan_;
    std::vector<StudyStep> steps_;
    std::vector<State> states_;
};

}  // namespace stationwin
