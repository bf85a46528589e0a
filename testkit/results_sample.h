// Results as the station reports them, and the stored rows read back.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

namespace results::testing {

// A result made from a station name and an index, so that a row read back can
// be checked field by field.
inline QJsonObject sampleResult(const QString& station, int i) {
    const bool pass = i % 5 != 4;
    const QString started = QStringLiteral("2026-12-07T%1:%2:%3.%4Z")
                                .arg(i / 3600 % 24, 2, 10, QLatin1Char('0'))
                                .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                                .arg(i % 60, 2, 10, QLatin1Char('0'))
                                .arg(i % 1000, 3, 10, QLatin1Char('0'));
    return QJsonObject{
        {"port", "/dev/ttyUSB0"},
        {"device", "/dev/ttyUSB0"},
        {"baud", 9600},
        {"unit", QStringLiteral("SN%1-%2").arg(station).arg(i)},
        {"station", station},
        {"cycle", i},
        {"started", started},
        {"ended", started},
        {"result", pass ? "pass" : "fail"},
        {"reason", pass ? "ok" : "no-fix"},
        {"status", pass ? "Cold Start OK!" : "Cold Start fail!, \"no fix\""},
        {"cold_start_sent", true},
        {"confirmed", pass},
        {"reset_verified", pass},
        {"ttff_s", pass ? QJsonValue(20.5 + i % 40) : QJsonValue()},
        {"satellites", pass ? QJsonValue(4 + i % 8) : QJsonValue()},
        {"hdop", pass ? QJsonValue(0.9) : QJsonValue()},
        {"cn0_max", 44.0},
        {"cn0_mean4", 41.25},
        {"sv_with_snr", 9},
        {"limits", QJsonObject{{"max_ttff_s", 60}, {"min_sats", 4}}},
        {"version", "2.0.0"},
        {"receiver", "sirf"},
        {"start", "cold"},
        {"operator", "ann"},
        {"lot", "WO-7"},
        {"plan", "line-3"},
        {"plan_sha256", QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0'))},
        {"retest", i % 7 == 3},
        {"firmware", "AXN_5.1.7"},
        {"hardware", "PA1616D"},
        {"unique_id", QStringLiteral("id-%1").arg(i)},
        {"satellites_gga", pass ? QJsonValue(4 + i % 8) : QJsonValue()},
        {"sky", pass ? QJsonValue(QJsonArray{QJsonObject{{"system", "GPS"}, {"prn", i % 32 + 1}}})
                     : QJsonValue()},
        {"tests", i % 3 ? QJsonArray{"fix"} : QJsonArray{"fix", "signal"}},
        {"signal", i % 3 ? QJsonValue()
                         : QJsonObject{{"sv", "GPS:1"},
                                       {"samples", 10},
                                       {"cn0_mean", 42.25 + i % 4},
                                       {"cn0_sd", 0.5},
                                       {"cn0_raw_mean", 40.75 + i % 4},
                                       {"offset", 1.5},
                                       {"calibration_id", 1 + i % 2},
                                       {"values", QJsonArray{40.5, 41.0}}}},
    };
}

// Each stored row as the SQL expression `row` gives it, in the order stored.
inline QStringList storedRows(const QSqlDatabase& db, const QString& row = QStringLiteral("id")) {
    QStringList rows;
    QSqlQuery q(QStringLiteral("SELECT %1 FROM results ORDER BY seq").arg(row), db);
    while (q.next()) rows << q.value(0).toString();
    return rows;
}

}  // namespace results::testing
