#include "vocabulary/evidence.h"

#include <QCryptographicHash>
#include <QtEndian>
#include <algorithm>

namespace results::evidence {

namespace {

constexpr qsizetype kRecordHead = 9;  // kind, time, length
constexpr int kLongestLine = 120;     // text: a line without a break is split here

}  // namespace

QByteArray header() {
    return QByteArrayLiteral("gps-coldstart evidence 1\n");
}

void Recorder::start() {
    framed_ = header();
    cutMs_ = -1;
    notKept_[0] = notKept_[1] = 0;
}

void Recorder::append(Kind kind, qint64 ms, const char* data, qsizetype size) {
    char head[kRecordHead];
    head[0] = char(kind);
    qToBigEndian<quint32>(quint32(std::clamp<qint64>(ms, 0, 0xffffffff)), head + 1);
    qToBigEndian<quint32>(quint32(size), head + 5);
    framed_.append(head, kRecordHead);
    framed_.append(data, size);
}

void Recorder::add(Kind kind, qint64 ms, std::string_view bytes) {
    if (bytes.empty()) return;
    if (cut() || framed_.size() + kRecordHead + qsizetype(bytes.size()) > cap_) {
        if (!cut()) cutMs_ = ms;
        notKept_[kind == Kind::Sent] += qint64(bytes.size());
        return;
    }
    append(kind, ms, bytes.data(), qsizetype(bytes.size()));
}

void Recorder::note(qint64 ms, const QString& text) {
    if (cut()) return;
    const QByteArray utf8 = text.toUtf8();
    append(Kind::Note, ms, utf8.constData(), utf8.size());
}

QByteArray Recorder::take() {
    if (cut()) {
        const QByteArray said = QStringLiteral(
                                    "cut at the cap of %1 bytes: %2 bytes received and %3 sent "
                                    "from here on are not kept")
                                    .arg(cap_)
                                    .arg(notKept_[0])
                                    .arg(notKept_[1])
                                    .toUtf8();
        append(Kind::Note, cutMs_, said.constData(), said.size());
    }
    QByteArray out = std::move(framed_);
    start();
    return out;
}

std::optional<std::vector<Chunk>> parse(const QByteArray& framed, QString* why) {
    const QByteArray head = header();
    if (!framed.startsWith(head)) {
        if (why) *why = QStringLiteral("it does not begin with \"%1\"").arg(head.trimmed());
        return std::nullopt;
    }
    std::vector<Chunk> chunks;
    qsizetype at = head.size();
    while (at < framed.size()) {
        if (framed.size() - at < kRecordHead) {
            if (why) *why = QStringLiteral("a record is cut short at byte %1").arg(at);
            return std::nullopt;
        }
        const char* p = framed.constData() + at;
        const Kind kind = Kind(p[0]);
        if (kind != Kind::Received && kind != Kind::Sent && kind != Kind::Note) {
            if (why) *why = QStringLiteral("byte %1 is not a record's kind").arg(at);
            return std::nullopt;
        }
        const quint32 ms = qFromBigEndian<quint32>(p + 1);
        const quint32 size = qFromBigEndian<quint32>(p + 5);
        if (quint64(size) > quint64(framed.size() - at - kRecordHead)) {
            if (why) *why = QStringLiteral("the record at byte %1 runs past the end").arg(at);
            return std::nullopt;
        }
        chunks.push_back({kind, ms, framed.mid(at + kRecordHead, size)});
        at += kRecordHead + size;
    }
    return chunks;
}

QByteArray received(const std::vector<Chunk>& chunks) {
    QByteArray out;
    for (const Chunk& c : chunks)
        if (c.kind == Kind::Received) out += c.bytes;
    return out;
}

std::vector<Silence> silences(const std::vector<Chunk>& chunks) {
    std::vector<Silence> out;
    if (chunks.empty()) return out;
    quint32 since = chunks.front().ms;
    for (const Chunk& c : chunks) {
        if (c.kind != Kind::Received) continue;
        if (c.ms >= since + kSilenceMs) out.push_back({since, c.ms, false});
        since = std::max(since, c.ms);
    }
    const quint32 end = chunks.back().ms;
    if (end >= since + kSilenceMs) out.push_back({since, end, true});
    return out;
}

QString silenceWords(const Silence& s) {
    return QStringLiteral("nothing received for %1 s")
        .arg(QString::number((s.toMs - s.fromMs) / 1000.0, 'f', 1));
}

QString text(const std::vector<Chunk>& chunks) {
    QString out;
    const std::vector<Silence> quiet = silences(chunks);
    auto nextQuiet = quiet.begin();
    QString line;
    // The line under way: whose it is and when it began; open once it has a
    // first character (a plain flag rather than an optional, which g++ 12
    // takes for maybe uninitialized).
    bool open = false;
    Kind lineKind = Kind::Note;
    quint32 lineMs = 0;
    const auto flush = [&] {
        if (!open) return;
        const char* mark = lineKind == Kind::Received ? "<" : lineKind == Kind::Sent ? ">" : "#";
        out += QStringLiteral("%1 s  %2  %3\n")
                   .arg(QString::number(lineMs / 1000.0, 'f', 3), 9)
                   .arg(QLatin1String(mark), line);
        line.clear();
        open = false;
    };
    // A silence is said before the first record after its start.
    const auto sayQuiet = [&](quint32 beforeMs, bool atEnd) {
        while (nextQuiet != quiet.end() && (atEnd || nextQuiet->fromMs < beforeMs)) {
            flush();
            out += QStringLiteral("%1 s  ~  %2\n")
                       .arg(QString::number(nextQuiet->fromMs / 1000.0, 'f', 3), 9)
                       .arg(silenceWords(*nextQuiet));
            ++nextQuiet;
        }
    };
    for (const Chunk& c : chunks) {
        sayQuiet(c.ms, false);
        if (open && lineKind != c.kind) flush();
        if (c.kind == Kind::Note) {
            open = true;
            lineKind = c.kind;
            lineMs = c.ms;
            line = QString::fromUtf8(c.bytes);
            flush();
            continue;
        }
        for (const char ch : c.bytes) {
            if (!open) {
                open = true;
                lineKind = c.kind;
                lineMs = c.ms;
            }
            const auto u = static_cast<unsigned char>(ch);
            if (u == '\n') {
                flush();
                continue;
            }
            if (u == '\r') continue;
            if (u >= 0x20 && u < 0x7f)
                line += QLatin1Char(ch);
            else
                line += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
            if (line.size() >= kLongestLine) flush();
        }
    }
    flush();
    sayQuiet(0, true);
    return out;
}

QString sha256(const QByteArray& framed) {
    return QString::fromLatin1(
        QCryptographicHash::hash(framed, QCryptographicHash::Sha256).toHex());
}

}  // namespace results::evidence
