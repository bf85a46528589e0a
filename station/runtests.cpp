#include "station/runtests.h"

#include <QJsonObject>

#include "gpslink/resetcommand.h"
#include "station/frontend.h"

namespace station {

QJsonArray skyJson(const Sky& sky) {
    QJsonArray satellites;
    const auto value = [](const std::optional<int>& v) {
        return v ? QJsonValue(*v) : QJsonValue();
    };
    for (const SkySatellite& s : sky.satellites) {
        QJsonArray perSignal;
        for (const SkySignal& signal : s.perSignal)
            perSignal.append(QJsonObject{
                {"id",
                 signal.id.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(signal.id))},
                {"cn0", value(signal.cn0)}});
        satellites.append(QJsonObject{{"system", QString::fromStdString(s.system)},
                                      {"prn", s.prn},
                                      {"cn0", value(s.cn0)},
                                      {"signals", perSignal}});
    }
    return satellites;
}

void FixRun::record(CycleResult& r) const {
    const auto& fix = test_.fix();
    if (!fix) return;
    const Second& atFix = test_.atFix();
    const Figures figures = FixTest::figuresOf(*test_.ttffS(), *fix, atFix);
    for (const results::MeasureRow& m : results::kMeasures)
        if (m.test == results::Test::Fix) r.setMeasured(m.measure, figures[std::size_t(m.measure)]);
    r.satellitesGga = fix->satellites;
    r.svWithSnr = atFix.sky.withSnr;
    r.cn0Max = atFix.sky.max;
    r.sky = skyJson(atFix.sky);
    r.fixJudged = test_.verdict().has_value();
}

void SignalRun::packet(const Packet& packet, qint64) {
    if (const auto frontEnd = frontEndFromPacket(packet)) test_.frontEnd(*frontEnd);
}

void SignalRun::second(const Second& second, qint64 nowMs) {
    if (!test_.running()) return;
    if (pollUblox_) output_ += gpslink::ubxFrame(0x0A, 0x09, {});
    test_.secondEnded(second, nowMs);
    judgeIfOver();
}

void SignalRun::tick(qint64 nowMs) {
    test_.tick(nowMs);
    judgeIfOver();
}

void SignalRun::show(Stage& stage, qint64 nowMs) const {
    stage.sv = sv_;
    stage.samples = int(test_.result().values.size());
    stage.of = test_.samples();
    if (stage.samples > 0) stage.last = test_.result().values.back();
    stage.sinceMs = nowMs - test_.sinceMs();
}

void SignalRun::judgeIfOver() {
    if (test_.over()) test_.judge(limits_);
}

void SignalRun::stop(Reason why) {
    if (test_.started() && !test_.judged() && outcomeOf(why) != Outcome::Interrupted)
        test_.judge(limits_);
}

}  // namespace station
