#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

// A shell script that stands in for a program the module starts as root. It records the
// arguments it got, then runs the given body.
class StandInProgram
{
public:
    explicit StandInProgram(const QByteArray &body = QByteArray());

    QString path() const;
    // A path in the same temporary directory where no program exists.
    QString missingPath() const;
    // A file the body may write to, such as "$STANDIN_DIR/pid".
    QString filePath(const QString &name) const;

    bool wasRun() const;
    QStringList arguments() const;

private:
    QTemporaryDir m_dir;
};
