#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace results {

// The rows of a long read (millions of them), column by column, without a
// QVariant and a QString made for each value: on SQLite straight from its
// statement, on other databases through QSqlQuery.  For reads that go over
// every stored result; a report's few rows read as every other does.
class RowReader {
public:
    explicit RowReader(const QSqlDatabase& db);
    ~RowReader();
    // A reader on a connection of its own to the same SQLite file, for a
    // read on another thread beside the connection's: none when db is not
    // a file's (PostgreSQL, a database in memory) or the file cannot be
    // opened.  Beside a transaction that holds the file's write lock and
    // has written nothing yet, it reads what that transaction reads.
    static std::unique_ptr<RowReader> ownConnection(const QSqlDatabase& db);
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    // A statement without values; false with the error when it cannot run.
    bool exec(const QString& sql, QString* error);
    // The next row; false after the last one or on a failure, which
    // finish() then tells.
    bool next();
    bool isNull(int column) const;
    qint64 integer(int column) const;
    double real(int column) const;
    // A text column's UTF-8 bytes, valid until the next row.
    QByteArrayView text(int column) const;
    // After the rows: false, with the error, when they stopped because the
    // database failed; the statement is released either way.
    bool finish(QString* error);

private:
    RowReader() = default;

    QSqlDatabase db_;
    sqlite3* own_ = nullptr;  // a connection of its own, closed with the reader
    sqlite3_stmt* stmt_ = nullptr;
    int status_ = 0;  // SQLite's last step
    std::unique_ptr<QSqlQuery> query_;
    mutable std::vector<QByteArray> texts_;
    QString sql_;
};

}  // namespace results
