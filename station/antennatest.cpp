#include "station/antennatest.h"

#include <QJsonObject>

namespace station {

void AntennaTest::start(qint64 startMs) {
    startMs_ = startMs;
    changes_.clear();
}

void AntennaTest::seen(AntennaState state, qint64 nowMs) {
    if (changes_.empty() || changes_.back().state != state) changes_.push_back({nowMs, state});
}

std::optional<AntennaState> AntennaTest::state() const {
    for (const Change& c : changes_)
        if (c.state == AntennaState::Open || c.state == AntennaState::Short) return c.state;
    if (changes_.empty()) return std::nullopt;
    return changes_.back().state;
}

QJsonArray AntennaTest::changes() const {
    QJsonArray list;
    for (const Change& c : changes_)
        list.append(QJsonObject{{"at_s", double(qMax<qint64>(0, c.atMs - startMs_) / 100) / 10},
                                {"state", QLatin1String(nameOf(c.state).data())}});
    return list;
}

Reason AntennaTest::judge(bool requireSupervision) const {
    switch (state().value_or(AntennaState::Unknown)) {
        case AntennaState::Open:
            return Reason::AntennaOpen;
        case AntennaState::Short:
            return Reason::AntennaShort;
        case AntennaState::Unknown:
            return requireSupervision ? Reason::AntennaUnknown : Reason::Ok;
        case AntennaState::Ok:
            break;
    }
    return Reason::Ok;
}

}  // namespace station
