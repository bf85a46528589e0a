#include "sim/lot.h"

#include <QDateTime>
#include <QJsonValue>
#include <cmath>

#include "sim/rng.h"
#include "vocabulary/reasons.h"

namespace gpssim {

namespace {

// 0 <= u < 1.
double uniform(Rng& rng) {
    return double(rng.next() >> 11) * (1.0 / 9007199254740992.0);
}

// A standard normal value (Box-Muller).
double normal(Rng& rng) {
    const double u = 1.0 - uniform(rng), v = uniform(rng);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
}

double rounded(double v, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(v * scale) / scale;
}

// One test of one unit on one slot, judged under the limits.
using results::Reason;

QJsonObject test(Rng& rng, const LotOptions& o, const QString& lot, const QString& serial, int n,
                 int slot, const QDateTime& started, const QJsonObject& limits) {
    const QString port = QStringLiteral("/dev/ttyUSB%1").arg(slot);
    QJsonObject r{
        {"id", QStringLiteral("%1-%2-%3").arg(lot, serial).arg(n)},
        {"unit", serial},
        {"lot", lot},
        {"station", o.station},
        {"operator", "sim"},
        {"port", port},
        {"device", port},
        {"baud", 9600},
        {"receiver", "sirf"},
        {"start", "cold"},
        {"cycle", 1},
        {"started", started.toString(Qt::ISODateWithMs)},
        {"limits", limits},
        {"cold_start_sent", true},
        {"retest", n > 1},  // as a station's store marks a unit's later tests in its lot
    };
    const double event = uniform(rng);
    double seconds = 8;
    auto end = [&](results::Reason reason, bool verified) {
        r["result"] = results::codeOf(results::outcomeOf(reason));
        r["reason"] = results::codeOf(reason);
        r["reset_verified"] = verified;
        r["confirmed"] = verified;
        r["status"] = reason == results::Reason::Ok
                          ? QStringLiteral(
                                "Cold Start OK!\nPlease stop the program then shut "
                                "down the GPS now!")
                          : QStringLiteral("Cold Start fail!");
        r["ended"] = started.addMSecs(qint64(seconds * 1000)).toString(Qt::ISODateWithMs);
        for (const char* key :
             {"ttff_s", "satellites", "hdop", "cn0_max", "cn0_mean4", "sv_with_snr"})
            if (!r.contains(QLatin1String(key))) r[QLatin1String(key)] = QJsonValue();
        return r;
    };
    if (event < 0.01) {
        r["cold_start_sent"] = false;
        return end(Reason::PortUnavailable, false);
    }
    if (event < 0.015) return end(Reason::Interrupted, true);
    if (event < 0.025) return seconds = 30, end(Reason::ResetNotTaken, false);
    if (event < 0.04) return seconds = 300, end(Reason::NoFix, true);

    // A cold start's TTFF: a floor and a long right tail.
    const double ttff = rounded(20 + 10 * std::exp(0.65 * normal(rng)), 2);
    const int sats = uniform(rng) < 0.01 ? 4 : 5 + int(rng.below(8));
    const double cn0 = rounded(41.5 + 1.3 * normal(rng) - (slot == o.weakSlot ? 4.5 : 0), 2);
    seconds = ttff + 5;
    r["ttff_s"] = ttff;
    r["satellites"] = sats;
    r["hdop"] = rounded(std::max(0.5, 1.0 + (9 - sats) * 0.12 + 0.08 * normal(rng)), 2);
    r["cn0_mean4"] = cn0;
    r["cn0_max"] = std::round(cn0 + 2 + rng.below(3));
    r["sv_with_snr"] = sats + int(rng.below(4));
    if (ttff > limits["max_ttff_s"].toDouble()) return end(Reason::TtffOverLimit, true);
    if (sats < limits["min_sats"].toInt()) return end(Reason::TooFewSatellites, true);
    if (cn0 < limits["min_cn0"].toDouble()) return end(Reason::Cn0UnderLimit, true);
    return end(Reason::Ok, true);
}

}  // namespace

QList<QJsonObject> simulatedLot(const LotOptions& o) {
    Rng rng(o.seed);
    QList<QJsonObject> results;
    const int total = int(o.lots.size()) * o.unitsPerLot;
    // Eight hours of testing a day, the units evenly spread.
    const double gapS = o.days * 8 * 3600.0 / std::max(total, 1);
    for (int i = 0; i < total; ++i) {
        const QString lot = o.lots[i / o.unitsPerLot];
        const QString serial = QStringLiteral("SN%1-%2")
                                   .arg(QString(lot).remove(QLatin1Char('-')))
                                   .arg(i % o.unitsPerLot + 1, 4, 10, QLatin1Char('0'));
        const double at = i * gapS;
        const int day = int(at / (8 * 3600));
        QDateTime started(o.firstDay.addDays(day), QTime(8, 0), Qt::UTC);
        started = started.addMSecs(qint64((at - day * 8 * 3600.0) * 1000));
        // The first tenth of the units were judged under an earlier, looser plan.
        const QJsonObject limits{
            {"max_ttff_s", i < total / 10 ? 90 : 60}, {"min_sats", 5}, {"min_cn0", 36}};
        const int slot = i % o.slotCount;
        const QJsonObject first = test(rng, o, lot, serial, 1, slot, started, limits);
        results << first;
        if (first["result"].toString() != results::codeOf(results::Outcome::Pass))
            results << test(rng, o, lot, serial, 2, (slot + 1) % o.slotCount,
                            started.addSecs(20 * 60), limits);
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const QJsonObject& a, const QJsonObject& b) {
                         return a["started"].toString() < b["started"].toString();
                     });
    return results;
}

}  // namespace gpssim
