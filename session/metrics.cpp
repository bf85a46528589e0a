#include "session/metrics.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <charconv>
#include <cmath>
#include <optional>

namespace session {

namespace {

// A sample's value as the format writes it: the shortest text that reads
// back the same, "+Inf" for infinity.
QByteArray number(double v) {
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    if (std::isnan(v)) return "NaN";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return QByteArray(text, int(end - text));
}

QByteArray number(quint64 v) {
    return QByteArray::number(v);
}

// HELP text: backslash and line feed escaped.
QByteArray help(const char* text) {
    return QByteArray(text).replace('\\', "\\\\").replace('\n', "\\n");
}

using Labels = std::vector<std::pair<const char*, QString>>;

QByteArray labels(const Labels& pairs) {
    if (pairs.empty()) return {};
    QByteArray out = "{";
    for (const auto& [name, value] : pairs) {
        if (out.size() > 1) out += ',';
        out += name;
        out += "=\"";
        out += escapeLabel(value).toUtf8();
        out += '"';
    }
    return out + '}';
}

class Writer {
public:
    void family(const char* name, const char* type, const char* text) {
        out_ += QByteArray("# HELP ") + name + ' ' + help(text) + '\n';
        out_ += QByteArray("# TYPE ") + name + ' ' + type + '\n';
    }
    void sample(const QByteArray& name, const Labels& l, const QByteArray& value) {
        out_ += name + labels(l) + ' ' + value + '\n';
    }
    void histogram(const char* name, Labels l, const Histogram& h) {
        quint64 below = 0;
        const QByteArray bucket = QByteArray(name) + "_bucket";
        for (std::size_t i = 0; i < h.counts.size(); ++i) {
            below += h.counts[i];
            l.push_back(
                {"le", QString::fromLatin1(number(i < h.bounds.size() ? h.bounds[i] : INFINITY))});
            sample(bucket, l, number(below));
            l.pop_back();
        }
        sample(QByteArray(name) + "_sum", l, number(h.sum));
        sample(QByteArray(name) + "_count", l, number(h.count));
    }
    QByteArray text() const { return out_; }

private:
    QByteArray out_;
};

// Seconds from started to ended, both as the results write them.
std::optional<double> secondsBetween(const QString& started, const QString& ended) {
    const QDateTime a = QDateTime::fromString(started, Qt::ISODateWithMs);
    const QDateTime b = QDateTime::fromString(ended, Qt::ISODateWithMs);
    if (!a.isValid() || !b.isValid() || b < a) return std::nullopt;
    return a.msecsTo(b) / 1000.0;
}

}  // namespace

Histogram::Histogram(std::vector<double> b) : bounds(std::move(b)), counts(bounds.size() + 1) {}

void Histogram::observe(double value) {
    std::size_t i = 0;
    while (i < bounds.size() && value > bounds[i]) ++i;
    ++counts[i];
    sum += value;
    ++count;
}

const std::vector<double>& ttffBuckets() {
    static const std::vector<double> b{1,  2,  5,  10, 15, 20,  25,  30, 35,
                                       40, 45, 50, 60, 90, 120, 180, 300};
    return b;
}

const std::vector<double>& cycleBuckets() {
    static const std::vector<double> b{5, 10, 15, 20, 30, 40, 50, 60, 75, 90, 120, 180, 300, 600};
    return b;
}

void StationFigures::addResult(const QJsonObject& r) {
    const QString station = r.value(QLatin1String("station")).toString();
    const QString slot = r.value(QLatin1String("port")).toString();
    ++units[{station, slot, r.value(QLatin1String("result")).toString(),
             r.value(QLatin1String("reason")).toString()}];
    const QJsonValue ttffS = r.value(QLatin1String("ttff_s"));
    if (ttffS.isDouble())
        ttff.try_emplace({station, slot}, ttffBuckets()).first->second.observe(ttffS.toDouble());
    if (const auto s = secondsBetween(r.value(QLatin1String("started")).toString(),
                                      r.value(QLatin1String("ended")).toString()))
        cycle.try_emplace({station, slot}, cycleBuckets()).first->second.observe(*s);
}

void StationFigures::addAlarms(const QString& station, const std::map<QString, quint64>& byRule) {
    for (const auto& [rule, n] : byRule) alarms[{station, rule}] += n;
}

QString escapeLabel(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            out += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else
            out += c;
    }
    return out;
}

QByteArray exposition(const StationFigures& f, const QDateTime& now) {
    Writer w;
    if (!f.units.empty()) {
        w.family("gps_coldstart_units_tested_total", "counter",
                 "Units tested since the station started, by slot, result and reason.");
        for (const auto& [key, n] : f.units) {
            const auto& [station, slot, result, reason] = key;
            w.sample("gps_coldstart_units_tested_total",
                     {{"station", station}, {"slot", slot}, {"result", result}, {"reason", reason}},
                     number(n));
        }
    }
    const auto histograms = [&w](const char* name, const char* text, const auto& bySlot) {
        if (bySlot.empty()) return;
        w.family(name, "histogram", text);
        for (const auto& [key, h] : bySlot)
            w.histogram(name, {{"station", key.first}, {"slot", key.second}}, h);
    };
    histograms("gps_coldstart_ttff_seconds", "Time to first fix of the units tested, by slot.",
               f.ttff);
    histograms("gps_coldstart_cycle_duration_seconds",
               "A unit's test cycle from its start to its result, by slot.", f.cycle);
    if (!f.queues.isEmpty()) {
        w.family("gps_coldstart_delivery_queue_results", "gauge",
                 "Results waiting for delivery to the line, by target.");
        for (const StationFigures::Queue& q : f.queues)
            w.sample("gps_coldstart_delivery_queue_results",
                     {{"station", q.station}, {"target", q.target}}, number(quint64(q.waiting)));
        w.family("gps_coldstart_delivery_oldest_age_seconds", "gauge",
                 "Age of the oldest result waiting for delivery, by target; 0 when none waits.");
        for (const StationFigures::Queue& q : f.queues) {
            const double age = q.waiting > 0 && q.oldest.isValid()
                                   ? std::max<qint64>(0, q.oldest.msecsTo(now)) / 1000.0
                                   : 0;
            w.sample("gps_coldstart_delivery_oldest_age_seconds",
                     {{"station", q.station}, {"target", q.target}}, number(age));
        }
    }
    if (!f.alarms.empty()) {
        w.family("gps_coldstart_alarms_total", "counter",
                 "Control chart alarms raised since the station started, by rule.");
        for (const auto& [key, n] : f.alarms)
            w.sample("gps_coldstart_alarms_total", {{"station", key.first}, {"rule", key.second}},
                     number(n));
    }
    w.family("gps_coldstart_build_info", "gauge", "The station's build; always 1.");
    w.sample("gps_coldstart_build_info", {{"version", f.version}}, "1");
    return w.text();
}

bool writeWhole(const QString& path, const QByteArray& text, QString* why) {
    // QSaveFile writes beside the target and renames on commit; the
    // collector reads only names ending in .prom, and the temporary file's
    // name does not.
    // The collector runs as another user: the file is readable by all.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ReadGroup | QFileDevice::ReadOther) ||
        file.write(text) != text.size() || !file.commit()) {
        *why = QStringLiteral("cannot write the metrics file %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

MetricsFile::MetricsFile(QString path, QString version, QObject* parent)
    : QObject(parent), path_(std::move(path)) {
    figures_.version = std::move(version);
}

void MetricsFile::write() {
    QString why;
    if (writeWhole(path_, exposition(figures_, QDateTime::currentDateTimeUtc()), &why)) {
        failing_ = false;
        return;
    }
    if (!failing_) emit failed(why);
    failing_ = true;
}

}  // namespace session
