// The spool: a file beside the database (Target::spoolPath()) that catches
// results while the database is failing, a line of JSON each, synced to disk
// before a result is reported; moved into the database at the next start.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <functional>

namespace results {

class Spool {
public:
    using Sink = std::function<void(const QString&)>;
    // warn: where what goes wrong with the file is said.
    Spool(QString path, Sink warn) : path_(std::move(path)), warn_(std::move(warn)) {}

    // Appends one result, synced to disk; false, said to the sink, when the
    // file did not take it.
    bool append(const QJsonObject& result);

    // Saves a batch of results: how many were new, or -1 with error.
    using SaveBatch = std::function<qint64(const QList<QJsonObject>&, QString* error)>;
    // Moves a spool left by an earlier run in through save, once per result
    // id, then removes the file; said to the sink, naming the database as
    // `into`.  True when there was none.  False, with why, when it stays.
    bool moveIn(const SaveBatch& save, const QString& into, QString* error);

    const QString& path() const { return path_; }

private:
    QString path_;
    Sink warn_;
};

}  // namespace results
