// The units' bytes kept as evidence (table evidence, vocabulary/evidence.h for
// their framing): added with their result in the caller's transaction, read
// back checked against the result's SHA-256, and removed by retention while
// the results stay.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <optional>

#include "results/database.h"

namespace results {

class EvidenceTable {
public:
    // After db is connected; db outlives the table.
    explicit EvidenceTable(Database& db);

    // Adds a new result's evidence, compressed by qCompress, stored at storedAt.
    bool add(const QString& resultId, const QString& storedAt, const QByteArray& packed,
             QString* error);

    // A result's evidence, as kept.
    struct Evidence {
        enum class State {
            Kept,         // framed: the bytes, their SHA-256 checked against the row's
            NoResult,     // no result has that id
            NotRecorded,  // the result was kept without evidence
            Removed,      // retention removed it; removed: when
            Damaged,      // the bytes do not unpack or do not match the row's SHA-256
        };
        State state = State::NoResult;
        QByteArray framed;
        QString sha256;   // the row's
        QString removed;  // when retention removed it
    };
    // Nothing, with error, when the database fails.
    std::optional<Evidence> read(const QString& id, QString* error);

    // How long evidence is kept and how many bytes (compressed) of it the
    // database holds at most; 0: no limit.
    struct Retention {
        int days = 0;
        qint64 maxBytes = 0;
        bool any() const { return days > 0 || maxBytes > 0; }
    };
    // Removes the evidence retention no longer keeps, oldest first: the rows
    // stay, each saying when its evidence was removed.  What it removed is
    // said in *said, a line each time.  False, with error, when the database
    // fails.
    bool applyRetention(const Retention& retention, const QDateTime& now, QStringList* said,
                        QString* error);

    // The bytes counted so far no longer hold (a transaction that added
    // evidence failed): they are counted again at the next retention.
    void recount() { bytes_ = -1; }

private:
    bool remove(const QString& condition, const QVariantList& values, const QString& why,
                const QString& now, QStringList* said, QString* error);

    Database& db_;
    QSqlQuery insert_;  // prepared at its first use, after the schema exists
    bool prepared_ = false;
    // The evidence's bytes in the database, as last counted and since added;
    // negative until counted.
    qint64 bytes_ = -1;
};

}  // namespace results
