// The gauge studies over stored results and over a CSV, as the report gives
// them (text, JSON, a section of the page).  The analysis is results/gauge.h.
//
// A study's results are the rows tagged with its name (the plan's "study"),
// but for the runs struck out of it (results/strikes.h).
// For each measure of the measures' table (vocabulary/fields.h) with values: the units are the
// parts, the slots (ports; station and port where the study spans stations) the appraisers and a
// unit's results in one slot its trials.  The tolerance is the span of the measure's limits in
// force over the study's results; a measure with only a maximum (TTFF) is taken from a natural
// zero, one with only a minimum has no tolerance.
#pragma once

#include "vocabulary/fields.h"

#include <QDateTime>
#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QTextStream>
#include <optional>
#include <vector>

#include "results/gauge.h"

namespace results {

// One measure's values in a study.
struct StudyMeasure {
    const MeasureRow* kind = nullptr;
    std::vector<gauge::Observation> observations;  // part: unit, appraiser: slot
    std::optional<double> tolerance;
    bool limited = false;  // the study's results were held to a limit on it
};

// A measure's name with its unit: "TTFF (s)".
QString measureTitle(const MeasureRow& kind);

// The study's measures with values, in the measures' table (vocabulary/fields.h) order; nothing,
// with why, when the database cannot be read.  An empty list: no such study. latestStarted: the
// "started" of its latest result.
std::optional<std::vector<StudyMeasure>> studyMeasures(const QSqlDatabase& db, const QString& study,
                                                       QString* error,
                                                       QString* latestStarted = nullptr);

// What a study's figures say of the station.  The measures that decide are
// those the study's results were held to a limit on (a tolerance is the span
// of limits), or every measure where none was.  Each deciding measure must
// give figures whose verdict is not rejected (conditional is accepted) or
// show no variation at all, which is no fault of the station.
struct Qualification {
    QStringList decidedBy;  // "TTFF (s)"
    struct Rejected {
        QString measure;
        double pctGrr = 0;
        bool ofTolerance = false;
        bool slotsMost = false;  // reproducibility above repeatability
    };
    QList<Rejected> rejected;
    QStringList withoutFigures;  // "TTFF (s): the study is not balanced: ..."
    bool qualified() const {
        return !decidedBy.isEmpty() && rejected.isEmpty() && withoutFigures.isEmpty();
    }
};
Qualification qualificationOf(const std::vector<StudyMeasure>& measures);
// "Station qualified: yes/no" with the measures that decide and why not, what
// %GRR and distinct categories mean and, when it is not, what to do: lines.
QStringList qualificationText(const Qualification& q);

// Why study NAME does not qualify a station, or empty when it does: it has no
// results, a deciding measure gives no figures or is rejected, or its latest
// result (a stored time) is older than maxAgeS at now.
QString qualificationProblem(const QString& study, const std::vector<StudyMeasure>& measures,
                             const QString& latestStarted, const QDateTime& now, double maxAgeS);

// part,appraiser,trial,value rows (a header line is allowed; RFC 4180
// quoting); nothing, with why ("line 4: ..."), for a malformed file.
std::optional<std::vector<gauge::Observation>> readGrrCsv(QIODevice& in, QString* error);

// What the study's parts and appraisers are called in the text.
struct GrrLabels {
    QString part = QStringLiteral("Part");
    QString appraiser = QStringLiteral("Appraiser");
};

void printGrr(const gauge::Grr& g, const gauge::GrrOptions& options, const GrrLabels& labels,
              QTextStream& out);
QJsonObject grrJson(const gauge::Grr& g, const gauge::GrrOptions& options);

void printType1(const gauge::Type1& t, double tolerance, std::optional<double> reference,
                QTextStream& out);
QJsonObject type1Json(const gauge::Type1& t, double tolerance, std::optional<double> reference);

// The page's section for a study's gauge R&R: each measure's components and
// verdict, or why it has none.
struct GrrSection {
    QString study;
    struct Row {
        QString measure;  // "TTFF (s)"
        std::optional<gauge::Grr> grr;
        QString why;  // without a result
        bool decides = false;
    };
    QList<Row> rows;
    Qualification qualification;
};
GrrSection grrSection(const QString& study, const std::vector<StudyMeasure>& measures,
                      const gauge::GrrOptions& options);
QByteArray grrSectionHtml(const GrrSection& section);

}  // namespace results
