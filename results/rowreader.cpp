#include "results/rowreader.h"

#include <sqlite3.h>
#include <QSqlDriver>
#include <QSqlError>

namespace results {

namespace {

// The connection's own handle when it is a SQLite one.
sqlite3* sqliteOf(const QSqlDatabase& db) {
    const QVariant v = db.driver() ? db.driver()->handle() : QVariant();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0) return nullptr;
    return *static_cast<sqlite3* const*>(v.constData());
}

}  // namespace

RowReader::RowReader(const QSqlDatabase& db) : db_(db) {}

RowReader::~RowReader() {
    QString ignored;
    finish(&ignored);
    if (own_) sqlite3_close_v2(own_);
}

std::unique_ptr<RowReader> RowReader::ownConnection(const QSqlDatabase& db) {
    sqlite3* handle = sqliteOf(db);
    const char* file = handle ? sqlite3_db_filename(handle, "main") : nullptr;
    if (!file || !*file) return nullptr;
    std::unique_ptr<RowReader> reader(new RowReader);
    if (sqlite3_open_v2(file, &reader->own_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return nullptr;
    sqlite3_busy_timeout(reader->own_, 5000);
    // As the build's own connection (WideReads in summaries.cpp).
    sqlite3_exec(reader->own_, "PRAGMA mmap_size = 1099511627776; PRAGMA cache_size = -262144",
                 nullptr, nullptr, nullptr);
    return reader;
}

bool RowReader::exec(const QString& sql, QString* error) {
    finish(error);
    error->clear();
    sql_ = sql;
    if (sqlite3* handle = own_ ? own_ : sqliteOf(db_)) {
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(handle, text.constData(), int(text.size()), &stmt_, nullptr) ==
            SQLITE_OK)
            return true;
        *error = QStringLiteral("%1 (in: %2)")
                     .arg(QString::fromUtf8(sqlite3_errmsg(handle)), sql.left(80));
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return false;
    }
    query_ = std::make_unique<QSqlQuery>(db_);
    query_->setForwardOnly(true);
    if (query_->exec(sql)) return true;
    *error = QStringLiteral("%1 (in: %2)").arg(query_->lastError().text(), sql.left(80));
    query_.reset();
    return false;
}

bool RowReader::next() {
    if (stmt_) {
        status_ = sqlite3_step(stmt_);
        return status_ == SQLITE_ROW;
    }
    return query_ && query_->next();
}

bool RowReader::isNull(int column) const {
    if (stmt_) return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
    return query_->isNull(column);
}

qint64 RowReader::integer(int column) const {
    if (stmt_) return sqlite3_column_int64(stmt_, column);
    return query_->value(column).toLongLong();
}

double RowReader::real(int column) const {
    if (stmt_) return sqlite3_column_double(stmt_, column);
    return query_->value(column).toDouble();
}

QByteArrayView RowReader::text(int column) const {
    if (stmt_) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return QByteArrayView(bytes, sqlite3_column_bytes(stmt_, column));
    }
    if (texts_.size() <= std::size_t(column)) texts_.resize(column + 1);
    texts_[column] = query_->value(column).toString().toUtf8();
    return texts_[column];
}

bool RowReader::finish(QString* error) {
    bool ok = true;
    if (stmt_) {
        if (status_ != SQLITE_DONE && status_ != SQLITE_ROW && status_ != 0) {
            *error = QStringLiteral("%1 (in: %2)")
                         .arg(QString::fromUtf8(sqlite3_errstr(status_)), sql_.left(80));
            ok = false;
        }
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        status_ = 0;
    }
    if (query_) {
        if (query_->lastError().isValid()) {
            *error = query_->lastError().text();
            ok = false;
        }
        query_.reset();
    }
    return ok;
}

}  // namespace results
