// Shared by the results tests: writer processes and reading stored rows back.
#pragma once

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QSet>
#include <QSqlQuery>
#include <QThread>
#include <functional>
#include <memory>
#include <vector>

#include "results/store.h"

namespace results::testing {

// Waits for a condition, polling, for at most limitMs.
inline bool waitUntil(const std::function<bool()>& condition, int limitMs = 60000) {
    QDeadlineTimer deadline(limitMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(5);
    }
    return true;
}

inline std::unique_ptr<QProcess> startWriter(const QString& db, const QString& station, int count) {
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QStringLiteral(RESULTS_WRITER), {db, station, QString::number(count)});
    return p;
}

// The ids a writer reported as saved, by how ("S" stored, "P" spooled).
inline QMap<QString, QString> reportedIds(QProcess& p) {
    QMap<QString, QString> ids;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n'))
        if (line.size() > 2) ids.insert(QString::fromLatin1(line.mid(2)), QString(QChar(line[0])));
    return ids;
}

// Every stored id with how often it is there.
inline QMap<QString, int> storedIds(const QSqlDatabase& db) {
    QMap<QString, int> ids;
    QSqlQuery q(db);
    EXPECT_TRUE(q.exec(QStringLiteral("SELECT id FROM results")));
    while (q.next()) ++ids[q.value(0).toString()];
    return ids;
}

inline int maxCount(const QMap<QString, int>& ids) {
    int most = 0;
    for (int n : ids) most = std::max(most, n);
    return most;
}

// Runs writers at once and checks that every reported id is stored once.
inline void concurrentWriters(const QString& db, int writers, int each) {
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int w = 0; w < writers; ++w)
        procs.push_back(startWriter(db, QStringLiteral("w%1").arg(w), each));
    QMap<QString, QString> reported;
    for (auto& p : procs) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0);
        reported.insert(reportedIds(*p));
    }
    EXPECT_EQ(reported.keys(QStringLiteral("P")), QStringList()) << "nothing should be spooled";
    QString why;
    const auto target = parseTarget(db, &why);
    const auto store = Store::open(*target, &why);
    ASSERT_TRUE(store) << why.toStdString();
    const auto stored = storedIds(store->database());
    EXPECT_EQ(reported.size(), writers * each);
    EXPECT_EQ(stored.size(), writers * each);
    EXPECT_EQ(maxCount(stored), 1);
    for (auto it = reported.cbegin(); it != reported.cend(); ++it)
        EXPECT_TRUE(stored.contains(it.key()));
}

}  // namespace results::testing
