#include "standinprogram.h"

#include <QFile>

StandInProgram::StandInProgram(const QByteArray &body, const QString &name)
    : m_name(name)
{
    QFile script(path());
    script.open(QIODevice::WriteOnly);
    // Every argument ends with a NUL byte, so empty arguments stay visible.
    script.write("#!/bin/sh\nSTANDIN_DIR='" + QFile::encodeName(m_dir.path()) + "'\nprintf '%s\\0' \"$@\" > \"$STANDIN_DIR/arguments\"\n" + body + "\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString StandInProgram::path() const
{
    return m_dir.filePath(m_name);
}

QString StandInProgram::directory() const
{
    return m_dir.path();
}

QString StandInProgram::missingPath() const
{
    return m_dir.filePath(QStringLiteral("no-such-program"));
}

QString StandInProgram::filePath(const QString &name) const
{
    return m_dir.filePath(name);
}

bool StandInProgram::wasRun() const
{
    return QFile::exists(filePath(QStringLiteral("arguments")));
}

QStringList StandInProgram::arguments() const
{
    QFile file(filePath(QStringLiteral("arguments")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QList<QByteArray> parts = file.readAll().split('\0');
    // The last part follows the final NUL and is always empty.
    parts.removeLast();
    QStringList arguments;
    for (const QByteArray &part : qAsConst(parts)) {
        arguments.append(QString::fromUtf8(part));
    }
    return arguments;
}
