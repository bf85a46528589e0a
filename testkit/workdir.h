// Runs a test in a fresh working directory and returns to the old one after.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class ScopedWorkDir {
public:
    ScopedWorkDir() : old_(QDir::currentPath()) { QDir::setCurrent(temp_.path()); }
    ~ScopedWorkDir() { QDir::setCurrent(old_); }

    QString path() const { return temp_.path(); }

    void write(const QByteArray& bytes, const QString& name = QStringLiteral("Set.txt")) const {
        QFile f(path() + "/" + name);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    }
    QByteArray read(const QString& name = QStringLiteral("Set.txt")) const {
        QFile f(path() + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

private:
    QString old_;
    QTemporaryDir temp_;
};
