#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

// A shell script that stands in for a program the module starts (pkexec, keywright, kgpg).
// It records the arguments it got, then runs the given body.
class StandInProgram
{
public:
    explicit StandInProgram(const QByteArray &body = QByteArray(), const QString &name = QStringLiteral("standin"));

    QString path() const;
    // The script's directory, to be put first on PATH when the module looks the name up.
    QString directory() const;
    // A path in the same temporary directory where no program exists.
    QString missingPath() const;
    // A file the body may write to, such as "$STANDIN_DIR/pid".
    QString filePath(const QString &name) const;

    bool wasRun() const;
    QStringList arguments() const;

private:
    QTemporaryDir m_dir;
    QString m_name;
};
