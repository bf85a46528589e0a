#include "results/resultstable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSqlError>
#include <QStringList>

namespace results {

namespace {

using Kind = Column::Kind;

QString insertSql() {
    QStringList names, marks;
    for (const Column& c : resultColumns()) {
        names << QLatin1String(c.name);
        marks << QStringLiteral("?");
    }
    names << QStringLiteral("stored_at");
    marks << QStringLiteral("?");
    return QStringLiteral("INSERT INTO results (%1) VALUES (%2) ON CONFLICT (id) DO NOTHING")
        .arg(names.join(','), marks.join(','));
}

// Times are kept as ISO 8601 UTC text with milliseconds, so that they sort
// and compare as text on both engines.
QString normalizedTime(const QJsonValue& v) {
    const QString text = v.toString();
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    return t.isValid() ? isoTime(t) : v.isString() ? text : QStringLiteral("");
}

// A column named "signal_x" holds the field "x" of the result's "signal"
// object (null without a signal test).
QJsonValue fieldOf(const QJsonObject& result, const char* column) {
    static const QLatin1String nested("signal_");
    const QLatin1String name(column);
    if (name.startsWith(nested))
        return result.value(QLatin1String("signal")).toObject().value(name.mid(nested.size()));
    return result.value(name);
}

QVariant columnValue(const QJsonObject& result, const Column& c) {
    const QJsonValue v = fieldOf(result, c.name);
    switch (c.kind) {
        case Kind::Text:
            if (!qstrcmp(c.name, "started") || !qstrcmp(c.name, "ended")) return normalizedTime(v);
            if (v.isDouble())
                return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
            // An absent text is empty, never NULL.
            return v.isString() ? v.toString() : QStringLiteral("");
        case Kind::Int:
            if (v.isDouble()) return QVariant::fromValue<qlonglong>(v.toInteger());
            return QVariant(QMetaType(QMetaType::LongLong));
        case Kind::Real:
            if (v.isDouble()) return v.toDouble();
            return QVariant(QMetaType(QMetaType::Double));
        case Kind::Bool:
            if (v.isBool()) return v.toBool();
            return QVariant(QMetaType(QMetaType::Bool));
        case Kind::Json:
            if (v.isObject())
                return QString::fromUtf8(
                    QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
            if (v.isArray())
                return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
            return QVariant(QMetaType(QMetaType::QString));
    }
    return {};
}

}  // namespace

ResultsTable::ResultsTable(Database& db)
    : db_(db), insert_(db.connection()), summaries_(db.connection()) {}

ResultsTable::~ResultsTable() = default;

bool ResultsTable::insert(const QJsonObject& result, const QString& storedAt, Inserted* row,
                          QString* error) {
    QSqlQuery& q = insert_;
    if (!prepared_) {
        if (!q.prepare(insertSql())) {
            *error = q.lastError().text();
            return false;
        }
        prepared_ = true;
    }
    int i = 0;
    SummaryRow& summary = row->summary;
    const std::pair<const char*, QString*> texts[] = {
        {"station", &summary.station}, {"lot", &summary.lot},
        {"unit", &summary.unit},       {"started", &summary.started},
        {"result", &summary.result},   {"reason", &summary.reason},
        {"port", &summary.port},       {"limits", &summary.limits},
        {"ended", &summary.ended},     {"id", &summary.id}};
    for (const Column& c : resultColumns()) {
        const QVariant value = columnValue(result, c);
        q.bindValue(i++, value);
        if (!qstrcmp(c.name, "study")) row->study = value.toString();
        if (!qstrcmp(c.name, "cold_start_sent")) summary.startSent = value.toBool();
        if (!qstrcmp(c.name, "reset_verified")) summary.resetVerified = value.toBool();
        for (const auto& [name, field] : texts)
            if (!qstrcmp(c.name, name)) *field = value.toString();
        const int m = summaryMeasures().indexOf(QLatin1String(c.name));
        if (m >= 0 && !value.isNull()) summary.measures[m] = value.toDouble();
    }
    q.bindValue(i, storedAt);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    row->added = q.numRowsAffected() > 0;
    return true;
}

bool ResultsTable::summarize(const Inserted& row, QString* error) {
    return !row.added || !row.study.isEmpty() || summaries_.add(row.summary, error);
}

void ResultsTable::markRetest(QJsonObject& result) {
    const QString unit = result.value(QLatin1String("unit")).toString();
    if (unit.isEmpty() || result.value(QLatin1String("cycle")).toInt(1) != 1) return;
    QSqlQuery q(db_.connection());
    q.prepare(
        QStringLiteral("SELECT 1 FROM results WHERE unit = ? AND lot = ? AND study = ? LIMIT 1"));
    q.addBindValue(unit);
    q.addBindValue(result.value(QLatin1String("lot")).toString());
    // A production result has no study: its rows have the empty one (never NULL).
    q.addBindValue(result.value(QLatin1String("study")).toString(QLatin1String("")));
    if (q.exec() && q.next()) result.insert(QLatin1String("retest"), true);
}

}  // namespace results
