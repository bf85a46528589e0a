// The report's page: its statistics and charts on known data, the charts as
// Qt's SVG renderer draws them, and a page of a simulated lot written by the
// CLI and opened in headless Chromium.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <cmath>
#include <map>

#include "results/report.h"
#include "results/statistics.h"
#include "results/store.h"
#include "results/svgchart.h"
#include "sim/lot.h"
#ifdef COLDSTART_HAVE_QTSVG
#include <QSvgRenderer>
#endif

using namespace results;

namespace {

// An SVG's elements in order, with their attributes and text.
struct Element {
    QString name;
    QXmlStreamAttributes attributes;
    QString text;
    double number(const char* name) const {
        bool ok = false;
        const double v = QLocale::c().toDouble(attributes.value(QLatin1String(name)), &ok);
        return ok ? v : NAN;
    }
    bool is(const char* cls) const {
        return attributes.value(QLatin1String("class")).split(' ').contains(QLatin1String(cls));
    }
};

std::vector<Element> parse(const QString& svg) {
    std::vector<Element> out;
    QXmlStreamReader xml(svg);
    bool inside = false;  // text belongs to the element opened last until it closes
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) out.push_back({xml.name().toString(), xml.attributes(), {}});
        if (xml.isCharacters() && inside) out.back().text += xml.text();
        inside = xml.isStartElement() || (inside && !xml.isEndElement());
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return out;
}

std::vector<Element> ofClass(const std::vector<Element>& all, const char* cls) {
    std::vector<Element> out;
    for (const Element& e : all)
        if (e.is(cls)) out.push_back(e);
    return out;
}

const std::vector<double> kExample{20, 25, 30, 35, 40, 90};

}  // namespace

// The worked example of docs/RESULTS.md: six TTFFs under a 60 s limit.
TEST(ReportStatistics, TheDocumentedExample) {
    const std::vector<double>& v = kExample;
    EXPECT_DOUBLE_EQ(mean(v), 40);
    EXPECT_DOUBLE_EQ(sampleSd(v), std::sqrt(650.0));
    EXPECT_EQ(median(v), 32.5);
    EXPECT_EQ(nearestRank(v, 95), 90);
    EXPECT_EQ(chart::number(*cpk(mean(v), sampleSd(v), 60, true), 2), "0.26");
    EXPECT_EQ(chart::number(*cpk(mean(v), sampleSd(v), 10, false), 2), "0.39");
    EXPECT_FALSE(cpk(40, 0, 60, true)) << "no Cpk without spread";
    const chart::Box b = chart::box(QStringLiteral("slot"), v);
    EXPECT_EQ((std::vector<double>{b.low, b.q1, b.median, b.q3, b.high}),
              (std::vector<double>{20, 25, 32.5, 40, 40}));
    EXPECT_EQ(b.outliers, std::vector<double>{90});
    std::vector<std::vector<double>> bins;
    for (const chart::Bin& x : chart::bins(v)) bins.push_back({x.low, x.high, double(x.count)});
    EXPECT_EQ(bins, (std::vector<std::vector<double>>{
                        {20, 40, 4}, {40, 60, 1}, {60, 80, 0}, {80, 100, 1}}));
}

// Bars as high as their counts, a window's limits where they lie, text
// escaped and numbers written the C way under a locale with a decimal comma.
TEST(ReportCharts, HistogramDrawsItsCountsAndEscapesText) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString title = QStringLiteral("TTFF of <lot \"A&B\"> 'x'\x01");
    const QString svg =
        chart::histogram({title, QStringLiteral("TTFF (s)"), {}, 640, 280}, chart::bins(kExample),
                         chart::Markers{{60, QStringLiteral("high 60 s")}, {10, "low 10 s"}});
    QLocale::setDefault(QLocale::c());
    const auto all = parse(svg);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[1].name, "title");
    EXPECT_EQ(all[1].text, QString(title).replace('\x01', QChar(0xfffd)));
    for (const Element& e : all)
        for (const char* a : {"x", "y", "width", "height", "x1", "y1", "x2", "y2"})
            if (e.attributes.hasAttribute(QLatin1String(a))) {
                EXPECT_FALSE(std::isnan(e.number(a))) << a << " of " << e.name.toStdString();
            }
    const auto bars = ofClass(all, "bar");
    ASSERT_EQ(bars.size(), 3u) << "an empty bin draws no bar";
    EXPECT_NEAR(bars[0].number("height") / bars[1].number("height"), 4.0, 0.02);
    EXPECT_NEAR(bars[1].number("height"), bars[2].number("height"), 0.1);
    const auto limit = ofClass(all, "limit");
    ASSERT_EQ(limit.size(), 2u);
    EXPECT_LT(limit[0].number("x1"), bars[0].number("x"));
    EXPECT_GT(limit[1].number("x1"), bars[1].number("x"));
    EXPECT_LT(limit[1].number("x1"), bars[2].number("x"));
}

// Bars of counts (written without decimals) stand on an axis of whole
// counts, however few: one failure is no 0.2 of a result.
TEST(ReportCharts, CountsAreCountedInWholeSteps) {
    const auto all = parse(chart::barChart(
        {QStringLiteral("Failures"), QStringLiteral("reason"), QStringLiteral("results"), 640, 320},
        {QStringLiteral("no-fix")}, {{QStringLiteral("results"), "#d55e00", {1.0}}}, 0, 0, {}));
    QStringList ticks;
    for (const Element& e : all)
        if (e.name == QLatin1String("text") &&
            e.attributes.value(QLatin1String("text-anchor")) == QLatin1String("end"))
            ticks << e.text;
    EXPECT_EQ(ticks, QStringList({"0", "1"}));
}

// Every kind of chart is drawn by Qt's own SVG renderer, as a window draws it:
// in the charts' colours, a control chart's point outside its limits in red
// and its flagged point ringed.
TEST(ReportCharts, QtSvgDrawsEveryKind) {
#ifndef COLDSTART_HAVE_QTSVG
    GTEST_SKIP() << "Qt Svg is not installed (tools/setup.sh installs qt6-svg-dev)";
#else
    const chart::Frame f{QStringLiteral("chart"), QStringLiteral("x"), QStringLiteral("y"), 640,
                         280};
    const std::vector<double> offsets{0.1, -0.2, 0.05, 0.9, 0.0};
    const QString control = chart::controlChart(f, {"a", "b", "c", "d", "e"}, offsets,
                                                {0, -0.5, 0.5}, {false, false, false, true});
    EXPECT_EQ(ofClass(parse(control), "outside").size(), 1u);
    EXPECT_EQ(ofClass(parse(control), "flagged").size(), 1u);
    const QString charts[] = {
        chart::histogram(f, chart::bins(kExample), {{60, "limit"}}),
        chart::cumulative(f, kExample, {{60, "limit"}}),
        chart::boxPlot(f, {chart::box("p1", kExample), chart::box("p2", {1, 2, 3})}, {}),
        chart::barChart(f, {"L1", "L2"}, {{"first", chart::colour::kPrimary, {90.0, 80.0}}}, 100, 1,
                        {}),
        control,
    };
    for (const QString& svg : charts) {
        QSvgRenderer renderer(svg.toUtf8());
        ASSERT_TRUE(renderer.isValid()) << svg.toStdString();
        QImage image(640, 280, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        int primary = 0, red = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                primary += image.pixel(x, y) == QColor(chart::colour::kPrimary).rgb();
                red += image.pixel(x, y) == QColor(chart::colour::kOutside).rgb();
            }
        EXPECT_GT(primary, 20) << svg.toStdString();
        EXPECT_EQ(red > 0, &svg == &charts[4]);
    }
#endif
}

namespace {

struct Ran {
    int status = -1;
    QByteArray out, err;
};

Ran runProgram(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    const bool ended = p.waitForFinished(180000);
    if (!ended) p.kill(), p.waitForFinished();
    const bool normal = ended && p.exitStatus() == QProcess::NormalExit;
    return {normal ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

QJsonObject jsonReport(const QString& db, const QStringList& selection) {
    const Ran r = runProgram(QStringLiteral(COLDSTART_CLI),
                             QStringList{"report", "--db", db, "--json"} + selection);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    return QJsonDocument::fromJson(r.out)["overall"].toObject();
}

}  // namespace

// A simulated lot's page, written by the CLI and opened in headless Chromium:
// it loads with no console message and nothing fetched, is drawn, asks for
// A4, and shows the JSON report's figures for the same selections; and each
// lot's retests, WO-2's signal tests and the slots' calibrations as stored.
TEST(ReportPage, ChromiumShowsTheJsonReportsFigures) {
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (tools/setup.sh installs it)";
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("lot.sqlite"));
    gpssim::LotOptions lot;
    lot.lots = QStringList{"WO-1", "WO-2"};
    lot.unitsPerLot = 150;
    QList<QJsonObject> rows = gpssim::simulatedLot(lot);
    // Each unit's second test in its lot is a retest; WO-2's tests measure the
    // signal too: corrected C/N0 from 39 to 45 dB-Hz against a 40 to 44 window.
    std::map<QString, qint64> retests;
    for (const QJsonObject& r : rows)
        retests[r["lot"].toString()] += r["id"].toString().endsWith("-2");
    std::vector<double> signal;
    for (QJsonObject& r : rows) {
        if (r["lot"].toString() != "WO-2" || r["result"].toString() == "station-fault") continue;
        signal.push_back(39 + double(signal.size() * 37 % 61) / 10);
        r["signal"] = QJsonObject{{"sv", "GPS:1"}, {"cn0_mean", signal.back()}, {"offset", 1.5}};
        QJsonObject limits = r["limits"].toObject();
        limits["cn0_low"] = 40, limits["cn0_high"] = 44;
        r["limits"] = limits;
    }
    QString why;
    const auto store = Store::open(*parseTarget(db, &why), &why);
    ASSERT_EQ(store->saveBatch(rows, &why), rows.size()) << why.toStdString();
    // ttyUSB0's offsets drift 1.6 dB at the last; ttyUSB1 has one, its path
    // loss at a generator's level.
    QSqlQuery insert(store->database());
    QVariant pathLossId;
    for (const auto& [port, time, offset] : {std::tuple{"/dev/ttyUSB0", "07T08", 2.0},
                                             {"/dev/ttyUSB0", "08T08", 2.4},
                                             {"/dev/ttyUSB0", "08T14", 2.0},
                                             {"/dev/ttyUSB0", "09T08", 3.6},
                                             {"/dev/ttyUSB1", "07T08", 1.0}})
        ASSERT_TRUE(insert.exec(
            QStringLiteral("INSERT INTO calibrations (time, station, port, expected, measured,"
                           " \"offset\", level_dbm) VALUES ('2026-12-%1:00:00.000Z', 'line-1',"
                           " '%2', 42, %3, %4, %5)")
                .arg(time, port)
                .arg(42 - offset)
                .arg(offset)
                .arg(offset == 1.0 ? "-130" : "NULL")))
            << insert.lastError().text().toStdString();
    pathLossId = insert.lastInsertId();
    const QString page = dir.filePath(QStringLiteral("page.html"));
    const Ran written =
        runProgram(QStringLiteral(COLDSTART_CLI), {"report", "--db", db, "--html", page});
    ASSERT_EQ(written.status, 0) << written.err.toStdString();

    int profiles = 0;
    auto browse = [&](const QStringList& args) {
        return runProgram(
            chromium,
            QStringList{
                "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--enable-logging=stderr", "--v=0",
                "--user-data-dir=" + dir.filePath(QStringLiteral("profile%1").arg(++profiles))} +
                args + QStringList{QUrl::fromLocalFile(page).toString()});
    };
    const Ran dom = browse({"--dump-dom"});
    ASSERT_EQ(dom.status, 0) << dom.err.toStdString();
    EXPECT_FALSE(dom.err.contains("CONSOLE")) << dom.err.toStdString();
    const QString html = QString::fromUtf8(dom.out);
    for (const char* outside : {"src=", "href=", "<script", "<link", "url(", "@import"})
        EXPECT_FALSE(html.contains(QLatin1String(outside))) << outside;

    const QString png = dir.filePath(QStringLiteral("page.png"));
    ASSERT_EQ(browse({"--window-size=900,2400", "--screenshot=" + png}).status, 0);
    const QImage shot(png);
    ASSERT_EQ(shot.size(), QSize(900, 2400));
    int drawn[2] = {0, 0};  // the yield charts' two series
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            drawn[0] += shot.pixel(x, y) == QColor(chart::colour::kPrimary).rgb();
            drawn[1] += shot.pixel(x, y) == QColor(chart::colour::kSecondary).rgb();
        }
    EXPECT_GT(drawn[0], 10000);
    EXPECT_GT(drawn[1], 10000);
    const QString pdf = dir.filePath(QStringLiteral("page.pdf"));
    ASSERT_EQ(browse({"--no-pdf-header-footer", "--print-to-pdf=" + pdf}).status, 0);
    QFile printed(pdf);
    ASSERT_TRUE(printed.open(QIODevice::ReadOnly));
    EXPECT_TRUE(printed.readAll().contains("/MediaBox [0 0 594.95996 841.91998]")) << "not A4";

    QMap<QString, QString> shown;
    static const QRegularExpression cell(QStringLiteral("data-figure=\"([^\"]+)\">([^<]*)<"));
    for (const auto& m : cell.globalMatch(html)) shown[m.captured(1)] = m.captured(2);
    // Each figure the page shows beside the one it should be, one a line.
    QStringList got, want;
    auto expect = [&](const QString& key, const QString& value) {
        got << key + " = " + shown.value(key);
        want << key + " = " + value;
    };
    auto n = [](const QJsonValue& v, int decimals = 0) {
        return QString::number(v.toDouble(), 'f', decimals);
    };
    auto figures = [&](const QString& prefix, const QJsonObject& j) {
        for (const char* key : {"results", "units_tested", "units_first_pass", "units_passed"})
            expect(prefix + key, n(j[key]));
        const double tested = j["units_tested"].toDouble();
        expect(prefix + "first_pass_yield",
               n(100 * j["units_first_pass"].toDouble() / tested, 1) + " %");
        expect(prefix + "final_yield", n(100 * j["units_passed"].toDouble() / tested, 1) + " %");
        for (const char* outcome : {"station-fault", "interrupted"})
            expect(prefix + "outcome." + outcome, n(j["outcomes"][outcome]));
    };
    const QJsonObject all = jsonReport(db, {});
    figures({}, all);
    for (const QString l : {"WO-1", "WO-2"})
        figures("lot." + l + '.', jsonReport(db, {"--lot", l}));
    for (const QString day : {"2026-12-07", "2026-12-08", "2026-12-09"})
        figures("day." + day + '.', jsonReport(db, {"--since", day, "--until", day}));
    // Units per hour and handling over every station, as the JSON report has them.
    const QJsonObject handling = all["handling_s"].toObject();
    const auto orDash = [&](const QJsonValue& v) {
        return v.isNull() ? QStringLiteral("\u2014") : n(v, 1);
    };
    expect("pace.units_per_hour", orDash(all["units_per_hour"]));
    expect("pace.handling_count", n(handling["count"]));
    expect("pace.handling_mean", orDash(handling["mean"]));
    for (const char* key : {"mean", "median", "p95", "max"})
        expect(QStringLiteral("stat.ttff_s.") + key, n(all["ttff_s"][key], 2));
    expect("stat.ttff_s.count", n(all["ttff_s"]["count"]));
    for (const QJsonValue f : all["failures"].toArray())
        expect("failure." + f["result"].toString() + '.' + f["reason"].toString(), n(f["count"]));

    // The limit most rows were judged under (the simulated lot's later nine
    // tenths), and the Cpk against it from every TTFF.
    std::vector<double> ttffs;
    for (const QJsonObject& r : rows)
        if (r["ttff_s"].isDouble()) ttffs.push_back(r["ttff_s"].toDouble());
    expect("stat.ttff_s.limit", QStringLiteral("\u2264 60 s"));
    expect("stat.ttff_s.cpk", n((60 - mean(ttffs)) / (3 * sampleSd(ttffs)), 2));

    // Each lot's retests; WO-2's signal tests against their window, the page's only.
    expect("retests", QString::number(retests["WO-1"] + retests["WO-2"]));
    for (const QString l : {"WO-1", "WO-2"})
        expect("retest.lot." + l + ".retests", QString::number(retests[l]));
    const auto within =
        std::count_if(signal.begin(), signal.end(), [](double v) { return v >= 40 && v <= 44; });
    const double mu = mean(signal), sd = sampleSd(signal);
    expect("signal.within_limit", QString::number(within));
    expect("stat.signal_cn0_mean.limit", "40 to 44 dB-Hz");
    expect("stat.signal_cn0_mean.cpk", n(std::min(44 - mu, mu - 40) / (3 * sd), 2));
    // ttyUSB0's control limits from its mean moving range (0.8 dB), its drift
    // of 1.6 dB flagged; ttyUSB1's one calibration has no limits.
    const QString slot = QStringLiteral("cal.line-1./dev/ttyUSB0.");
    expect(slot + "count", "4");
    expect(slot + "centre", "2.50");
    expect(slot + "lcl", n(2.5 - 3 * 0.8 / 1.128, 2));
    expect(slot + "ucl", n(2.5 + 3 * 0.8 / 1.128, 2));
    expect(slot + "drifts", "1");
    expect("cal.line-1./dev/ttyUSB1.ucl", QStringLiteral("\u2014"));
    expect("cal.line-1./dev/ttyUSB1." + pathLossId.toString() + ".level", "-130.0");
    EXPECT_EQ(got.join('\n').toStdString(), want.join('\n').toStdString());

    // The weak slot has the lowest median C/N0.
    QString lowest;
    for (int slot = 0; slot < lot.slotCount; ++slot) {
        const QString key = QStringLiteral("cn0./dev/ttyUSB%1.median").arg(slot);
        ASSERT_TRUE(shown.contains(key)) << key.toStdString();
        if (lowest.isEmpty() || shown[key].toDouble() < shown[lowest].toDouble()) lowest = key;
    }
    EXPECT_EQ(lowest, QStringLiteral("cn0./dev/ttyUSB%1.median").arg(lot.weakSlot));

    const Ran wo1 = runProgram(QStringLiteral(COLDSTART_CLI),
                               {"report", "--db", db, "--lot", "WO-1", "--html", "-"});
    EXPECT_TRUE(wo1.out.contains("id=\"ttff\"") && !wo1.out.contains("id=\"signal\""));
}
