// The results table: one row per unit's result, its columns the fields'
// (vocabulary/fields.h), and the report's summaries kept up with each new row
// (results/summaries.h), in the caller's transaction.
#pragma once

#include <QJsonObject>
#include <QSqlQuery>
#include <QString>
#include <memory>

#include "results/database.h"
#include "results/summaries.h"

namespace results {

class ResultsTable {
public:
    // After db is connected; db outlives the table.
    explicit ResultsTable(Database& db);
    ~ResultsTable();

    // What insert() made of a result.
    struct Inserted {
        bool added = false;  // false: its id was stored already
        SummaryRow summary;  // the row as the summaries count it
        QString study;       // a study's result is kept out of the line's figures
    };
    // Inserts one result's row, stored at storedAt; a result whose id is
    // stored already is skipped.  False, with the database's error.
    bool insert(const QJsonObject& result, const QString& storedAt, Inserted* row, QString* error);
    // Counts a row added by insert() in the report's summaries.
    bool summarize(const Inserted& row, QString* error);

    // A unit's first cycle whose unit already has a result in its lot (and
    // its study) is a retest: marks the result so ("retest": true).
    void markRetest(QJsonObject& result);

private:
    Database& db_;
    QSqlQuery insert_;  // prepared at its first use, after the schema exists
    bool prepared_ = false;
    SummaryWriter summaries_;
};

}  // namespace results
