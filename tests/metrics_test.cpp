// The station's figures for the plant's monitoring: the exposition made
// from counted results without a clock, and the file written whole.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "session/metrics.h"

namespace {

using session::StationFigures;

QJsonObject result(const char* slot, const char* outcome, const char* reason, double ttff,
                   const char* started, const char* ended) {
    QJsonObject r{{"station", "line-3"}, {"port", slot},     {"unit", "SN0001"},
                  {"result", outcome},   {"reason", reason}, {"started", started},
                  {"ended", ended}};
    if (ttff >= 0) r["ttff_s"] = ttff;
    return r;
}

QString text(const StationFigures& f, const QDateTime& now = {}) {
    return QString::fromUtf8(session::exposition(f, now));
}

// The lines that start with prefix, in order.
QStringList linesOf(const QString& all, const QString& prefix) {
    QStringList out;
    for (const QString& line : all.split('\n'))
        if (line.startsWith(prefix)) out << line;
    return out;
}

// Results counted by slot, result and reason; each TTFF and cycle time in
// the bucket whose bound it does not exceed (a bound is "less or equal"),
// the buckets cumulative, with sum and count; a result without a fix adds
// to the counter and the cycle time only, one whose times are unreadable
// to the counter only; never the unit's serial number.
TEST(Metrics, ResultsAreCountedBySlotAndBinnedByTheirBounds) {
    StationFigures f;
    f.version = "1.4.0";
    f.addResult(result("/dev/ttyUSB0", "pass", "ok", 30, "2026-12-08T10:00:00.000Z",
                       "2026-12-08T10:00:40.000Z"));
    f.addResult(result("/dev/ttyUSB0", "pass", "ok", 30.5, "2026-12-08T10:01:00.000Z",
                       "2026-12-08T10:01:40.500Z"));
    f.addResult(result("/dev/ttyUSB0", "fail", "no-fix", -1, "2026-12-08T10:02:00.000Z",
                       "2026-12-08T10:07:00.000Z"));
    f.addResult(result("/dev/ttyUSB1", "fail", "no-data", -1, "", ""));
    const QString all = text(f);

    EXPECT_EQ(
        linesOf(all, "gps_coldstart_units_tested_total"),
        (QStringList{
            R"(gps_coldstart_units_tested_total{station="line-3",slot="/dev/ttyUSB0",result="fail",reason="no-fix"} 1)",
            R"(gps_coldstart_units_tested_total{station="line-3",slot="/dev/ttyUSB0",result="pass",reason="ok"} 2)",
            R"(gps_coldstart_units_tested_total{station="line-3",slot="/dev/ttyUSB1",result="fail",reason="no-data"} 1)"}));
    const QString ttff =
        R"(gps_coldstart_ttff_seconds_bucket{station="line-3",slot="/dev/ttyUSB0",le=)";
    EXPECT_TRUE(all.contains(ttff + R"("25"} 0)")) << all.toStdString();
    EXPECT_TRUE(all.contains(ttff + R"("30"} 1)"));
    EXPECT_TRUE(all.contains(ttff + R"("35"} 2)"));
    EXPECT_TRUE(all.contains(ttff + R"("+Inf"} 2)"));
    EXPECT_TRUE(all.contains(
        R"(gps_coldstart_ttff_seconds_sum{station="line-3",slot="/dev/ttyUSB0"} 60.5)"));
    EXPECT_TRUE(all.contains(
        R"(gps_coldstart_ttff_seconds_count{station="line-3",slot="/dev/ttyUSB0"} 2)"));
    // 40 s, 40.5 s and 300 s.
    const QString cycle =
        R"(gps_coldstart_cycle_duration_seconds_bucket{station="line-3",slot="/dev/ttyUSB0",le=)";
    EXPECT_TRUE(all.contains(cycle + R"("40"} 1)"));
    EXPECT_TRUE(all.contains(cycle + R"("50"} 2)"));
    EXPECT_TRUE(all.contains(cycle + R"("300"} 3)"));
    EXPECT_TRUE(all.contains(
        R"(gps_coldstart_cycle_duration_seconds_sum{station="line-3",slot="/dev/ttyUSB0"} 380.5)"));
    EXPECT_FALSE(all.contains("ttyUSB1\",le=")) << "no TTFF or readable cycle time there";
    EXPECT_FALSE(all.contains("SN0001"));
    EXPECT_EQ(linesOf(all, "gps_coldstart_build_info"),
              QStringList{R"(gps_coldstart_build_info{version="1.4.0"} 1)"});
}

// Every family has its HELP and TYPE lines before its samples, counters end
// in _total; the queue's depth and its oldest entry's age are read against
// the time given; alarms by rule add up as the control charts' side hands
// them over; a family with no sample is left out.
TEST(Metrics, FamiliesQueuesAlarmsAndWhatIsLeftOut) {
    StationFigures f;
    f.version = "1.4.0";
    EXPECT_EQ(text(f),
              "# HELP gps_coldstart_build_info The station's build; always 1.\n"
              "# TYPE gps_coldstart_build_info gauge\n"
              "gps_coldstart_build_info{version=\"1.4.0\"} 1\n");

    const QDateTime now = QDateTime::fromString("2026-12-08T10:00:00.000Z", Qt::ISODateWithMs);
    f.queues = {{"line-3", "mes", 3, now.addMSecs(-90500)}, {"line-3", "erp", 0, {}}};
    f.addAlarms("line-3", {{"we1", 1}, {"cusum-high", 2}});
    f.addAlarms("line-3", {{"we1", 2}});
    const QString all = text(f, now);
    EXPECT_EQ(
        linesOf(all, "gps_coldstart_delivery"),
        (QStringList{
            R"(gps_coldstart_delivery_queue_results{station="line-3",target="mes"} 3)",
            R"(gps_coldstart_delivery_queue_results{station="line-3",target="erp"} 0)",
            R"(gps_coldstart_delivery_oldest_age_seconds{station="line-3",target="mes"} 90.5)",
            R"(gps_coldstart_delivery_oldest_age_seconds{station="line-3",target="erp"} 0)"}));
    EXPECT_EQ(linesOf(all, "gps_coldstart_alarms_total"),
              (QStringList{R"(gps_coldstart_alarms_total{station="line-3",rule="cusum-high"} 2)",
                           R"(gps_coldstart_alarms_total{station="line-3",rule="we1"} 3)"}));
    // Each family's samples follow its own HELP and TYPE.
    QString family;
    for (const QString& line : all.split('\n', Qt::SkipEmptyParts)) {
        const QStringList words = line.split(' ');
        if (words[0] == "#") {
            ASSERT_GE(words.size(), 4);
            family = words[2];
            if (words[1] == "TYPE" && words[3] == "counter") {
                EXPECT_TRUE(family.endsWith("_total")) << family.toStdString();
            }
            continue;
        }
        EXPECT_TRUE(words[0].startsWith(family)) << line.toStdString();
    }
    EXPECT_FALSE(all.contains("units_tested")) << "no result yet";
}

TEST(Metrics, LabelValuesAreEscaped) {
    const struct {
        const char* given;
        const char* written;
    } cases[] = {
        {"line-3", "line-3"},           {R"(C:\ports\COM3)", R"(C:\\ports\\COM3)"},
        {R"(bay "B")", R"(bay \"B\")"}, {"two\nlines", R"(two\nlines)"},
        {"Prüfplatz 2", "Prüfplatz 2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(session::escapeLabel(QString::fromUtf8(c.given)), QString::fromUtf8(c.written))
            << c.given;
}

// Written over the last file by a rename: the new text whole, readable by
// the collector's user, no temporary file left beside it; a directory that
// is not there is named in the error.
TEST(Metrics, TheFileIsReplacedWholeOrNotAtAll) {
    QTemporaryDir dir;
    const QString path = dir.filePath("station.prom");
    QString why;
    ASSERT_TRUE(session::writeWhole(path, "first\n", &why)) << why.toStdString();
    ASSERT_TRUE(session::writeWhole(path, "second\n", &why)) << why.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "second\n");
    EXPECT_TRUE(file.permissions() & QFileDevice::ReadOther);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"station.prom"});

    const QString missing = dir.filePath("gone/station.prom");
    EXPECT_FALSE(session::writeWhole(missing, "x\n", &why));
    EXPECT_TRUE(why.contains(missing)) << why.toStdString();
}

}  // namespace
