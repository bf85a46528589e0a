// The receiver's own bytes of a unit's test, kept as evidence with its
// result: what came from the receiver and what the station sent it, chunk by
// chunk as the port handed them over, each with its time and direction.
//
// The framing (docs/RESULTS.md, "Evidence"): the line "gps-coldstart
// evidence 1\n", then one record per chunk: a kind byte ('R' received from
// the receiver, 'S' sent to it, 'N' the station's note in UTF-8), the
// milliseconds since the unit's port was opened (4 bytes, big-endian), the
// length (4 bytes, big-endian) and the bytes.  The store keeps the framed
// bytes compressed (qCompress) and their SHA-256 in the result's row.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <string_view>
#include <vector>

namespace results::evidence {

enum class Kind : char { Received = 'R', Sent = 'S', Note = 'N' };

struct Chunk {
    Kind kind;
    quint32 ms;  // since the port was opened
    QByteArray bytes;
};

// The framing's first line.
QByteArray header();

// A unit's bytes as they come, in memory, up to a cap: past it nothing more
// is kept, and the evidence ends with a note of what was not.
class Recorder {
public:
    static constexpr qsizetype kDefaultCap = 4 * 1024 * 1024;

    explicit Recorder(qsizetype cap = kDefaultCap) : cap_(cap) { start(); }

    void add(Kind kind, qint64 ms, std::string_view bytes);
    void note(qint64 ms, const QString& text);
    // Whether the cap has cut the evidence.
    bool cut() const { return cutMs_ >= 0; }
    // The framed bytes so far.
    qsizetype size() const { return framed_.size(); }
    // The framed bytes, with the note of the cut if there was one, and a
    // fresh start for the next test.
    QByteArray take();

private:
    void start();
    void append(Kind kind, qint64 ms, const char* data, qsizetype size);

    qsizetype cap_;
    QByteArray framed_;
    qint64 cutMs_ = -1;
    qint64 notKept_[2] = {0, 0};  // received, sent after the cut
};

// The chunks of framed bytes; nothing, with why, when they are not framed so.
std::optional<std::vector<Chunk>> parse(const QByteArray& framed, QString* why);
// What the receiver sent, as it came: its chunks joined.
QByteArray received(const std::vector<Chunk>& chunks);
// One line per chunk for a person: "  12.345 s  <  $GPGGA,...", the bytes that
// are not printable ASCII as \xNN, a line break ending the chunk's line; each
// silence said where it begins: "   2.000 s  ~  nothing received for 12.0 s".
QString text(const std::vector<Chunk>& chunks);

// A stretch of kSilenceMs or more with nothing from the receiver: from the
// evidence's first record or the last bytes received to the next bytes
// received, or to the evidence's last record.
constexpr quint32 kSilenceMs = 2000;
struct Silence {
    quint32 fromMs, toMs;
    bool toEnd;  // nothing came after it
};
std::vector<Silence> silences(const std::vector<Chunk>& chunks);
// "nothing received for 12.0 s"
QString silenceWords(const Silence& s);

// The SHA-256 of the framed bytes, as lowercase hex.
QString sha256(const QByteArray& framed);

}  // namespace results::evidence
