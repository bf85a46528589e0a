// Runs a test in a fresh working directory and returns to the old one after.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>

class ScopedWorkDir {
public:
    explicit ScopedWorkDir(const QString& path = QString())
        : old_(QDir::currentPath()), path_(path.isEmpty() ? temp_.path() : path) {
        QDir::setCurrent(path_);
    }
    ~ScopedWorkDir() { QDir::setCurrent(old_); }

    const QString& path() const { return path_; }

    void write(const QByteArray& bytes, const QString& name = QStringLiteral("Set.txt")) const {
        QFile f(path_ + "/" + name);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    }
    QByteArray read(const QString& name = QStringLiteral("Set.txt")) const {
        QFile f(path_ + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

private:
    QString old_;
    QTemporaryDir temp_;
    QString path_;
};
