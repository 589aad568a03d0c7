#pragma once

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// A shell script that stands in for a program the module starts (pkexec, keywright, kgpg).
// It records the arguments it got, then runs the given body, which may write files into
// "$STANDIN_DIR".
class StandInProgram
{
public:
    explicit StandInProgram(const QByteArray &body = QByteArray(), const QString &name = QStringLiteral("standin"))
        : m_name(name)
    {
        QFile script(path());
        script.open(QIODevice::WriteOnly);
        // Every argument ends with a NUL byte, so empty arguments stay visible.
        script.write("#!/bin/sh\nSTANDIN_DIR='" + QFile::encodeName(m_dir.path()) + "'\nprintf '%s\\0' \"$@\" > \"$STANDIN_DIR/arguments\"\n" + body + "\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString path() const { return m_dir.filePath(m_name); }
    // The script's directory, to be put first on PATH when the module looks the name up.
    QString directory() const { return m_dir.path(); }
    // A path in the same temporary directory where no program exists.
    QString missingPath() const { return m_dir.filePath(QStringLiteral("no-such-program")); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    QStringList arguments() const
    {
        QFile file(filePath(QStringLiteral("arguments")));
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        QStringList arguments;
        for (const QByteArray &part : file.readAll().split('\0')) {
            arguments.append(QString::fromUtf8(part));
        }
        arguments.removeLast(); // what follows the final NUL
        return arguments;
    }

private:
    QTemporaryDir m_dir;
    QString m_name;
};
