#include "stationwin/studyplan.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <utility>

#include "station/settings.h"

namespace stationwin {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("stationwin::StudyProgress", text);
}

}  // namespace

QStringList studyUnits(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

QString studyPlanProblem(const StudyPlan& plan) {
    if (plan.name.isEmpty()) return tr("The study needs a name.");
    QString why;
    station::PlanSettings scratch;  // the name as --study takes it
    if (!station::setting("study").parse(scratch, plan.name, &why)) return why + QLatin1Char('.');
    if (plan.slotCount < 2)
        return tr("A gauge study needs at least 2 slots; this window has %1.").arg(plan.slotCount);
    if (plan.units.size() < 2)
        return tr("A gauge study needs at least 2 units; %1 given.").arg(plan.units.size());
    if (plan.trials < 2)
        return tr("A gauge study needs at least 2 trials; %1 given.").arg(plan.trials);
    QSet<QString> seen;
    for (const QString& unit : plan.units) {
        if (seen.contains(unit)) return tr("Unit %1 is given twice.").arg(unit);
        seen.insert(unit);
    }
    return QString();
}

int studyRoundsPerTrial(const StudyPlan& plan) {
    return std::max(int(plan.units.size()), plan.slotCount);
}

std::vector<StudyStep> studyOrder(const StudyPlan& plan) {
    std::vector<StudyStep> steps;
    const int units = int(plan.units.size());
    const int rounds = studyRoundsPerTrial(plan);
    for (int trial = 0; trial < plan.trials; ++trial)
        for (int r = 0; r < rounds; ++r)
            for (int slot = 0; slot < plan.slotCount; ++slot)
                if (const int unit = (slot + r) % rounds; unit < units)
                    steps.push_back({trial, trial * rounds + r, slot, unit});
    return steps;
}

StudyProgress::StudyProgress(StudyPlan plan)
    : plan_(std::move(plan)), steps_(studyOrder(plan_)), states_(steps_.size(), State::ToDo) {}

int StudyProgress::done() const {
    return int(std::count(states_.begin(), states_.end(), State::Done));
}

int StudyProgress::round() const {
    for (std::size_t i = 0; i < steps_.size(); ++i)
        if (states_[i] != State::Done) return steps_[i].round;
    return steps_.empty() ? 0 : steps_.back().round + 1;
}

int StudyProgress::trial() const {
    const int rounds = std::max(studyRoundsPerTrial(plan_), 1);
    return std::min(round() / rounds, plan_.trials - 1) + 1;
}

int StudyProgress::stepOf(int slot) const {
    const int now = round();
    for (std::size_t i = 0; i < steps_.size(); ++i)
        if (steps_[i].round == now && steps_[i].slot == slot) return int(i);
    return -1;
}

QString StudyProgress::expected(int slot) const {
    const int step = stepOf(slot);
    if (step < 0 || states_[std::size_t(step)] != State::ToDo) return QString();
    return plan_.units[steps_[std::size_t(step)].unit];
}

// Each text takes its values in one pass: a serial number or a study's name
// may hold "%1".
QString StudyProgress::refusal(int slot, const QString& serial) const {
    if (finished()) return tr("Study %1 is complete.").arg(plan_.name);
    const QString number = QString::number(slot + 1);
    const int step = stepOf(slot);
    if (step >= 0 && states_[std::size_t(step)] == State::ToDo) {
        const QString unit = plan_.units[steps_[std::size_t(step)].unit];
        if (serial == unit) return QString();
        const int rounds = studyRoundsPerTrial(plan_);
        return tr("Unit %1 is not for slot %2 now: study %3 puts unit %4 in slot %2 (trial %5, "
                  "round %6 of %7).")
            .arg(serial, number, plan_.name, unit, QString::number(trial()),
                 QString::number(round() % rounds + 1), QString::number(rounds));
    }
    if (step >= 0 && states_[std::size_t(step)] == State::Running)
        return tr("Slot %1's run of unit %2 is not kept yet.")
            .arg(number, plan_.units[steps_[std::size_t(step)].unit]);
    const QString next = nextText();
    return next.isEmpty()
               ? tr("Study %1 has no unit for slot %2 until the round's runs are kept.")
                     .arg(plan_.name, number)
               : tr("Study %1 has no unit for slot %2 until the round's other slots are done "
                    "(%3).")
                     .arg(plan_.name, number, next);
}

void StudyProgress::started(int slot) {
    const int step = stepOf(slot);
    if (step >= 0 && states_[std::size_t(step)] == State::ToDo)
        states_[std::size_t(step)] = State::Running;
}

void StudyProgress::ended(int slot, bool measured) {
    const int step = stepOf(slot);
    if (step >= 0 && states_[std::size_t(step)] == State::Running)
        states_[std::size_t(step)] = measured ? State::Done : State::ToDo;
}

QString StudyProgress::progressText() const {
    return tr("trial %1 of %2, %3 of %4 runs")
        .arg(trial())
        .arg(plan_.trials)
        .arg(done())
        .arg(total());
}

QString StudyProgress::nextText() const {
    QStringList next;
    for (int slot = 0; slot < plan_.slotCount; ++slot)
        if (const QString unit = expected(slot); !unit.isEmpty())
            next << tr("slot %1: %2").arg(slot + 1).arg(unit);
    return next.join(QLatin1String(", "));
}

}  // namespace stationwin
