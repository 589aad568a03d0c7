#pragma once

#include "scratchfiles.h"

#include <QTemporaryDir>

// A pkexec and a bsign stand-in first on PATH while this lives. pkexec runs the program of
// that name beside it. bsign takes "-w <path>" only and logs "start <name>" and "end <name>"
// of the checked file; a *crash* file kills it by signal 64 (a verdict code as a number) once
// its report is out, a *held* one keeps it until release(), and otherwise it prints
// reports/<name> and exits with codes/<name>.
class FakeTools
{
public:
    FakeTools()
        : m_oldPath(qgetenv("PATH"))
    {
        const auto executable = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
        m_valid = Scratch::write(file(QStringLiteral("pkexec")), "#!/bin/sh\np=$(basename \"$1\")\nshift\nexec \"$(dirname \"$0\")/$p\" \"$@\"\n", executable)
            && Scratch::write(file(QStringLiteral("bsign")), R"sh(#!/bin/sh
dir=$(dirname "$0")
[ "$1" = -w ] && [ $# = 2 ] || exit 99
name=$(basename "$2")
printf '%s\n' "$@" > "$dir/last-arguments"
echo "start $name" >> "$dir/calls.log"
case "$name" in
*crash*) cat "$dir/reports/$name" 2>/dev/null; kill -64 $$ ;;
*held*) echo $$ > "$dir/held.pid"
    while [ ! -e "$dir/release-$name" ]; do sleep 0.02; done ;;
esac
cat "$dir/reports/$name" 2>/dev/null
echo "end $name" >> "$dir/calls.log"
exit "$(cat "$dir/codes/$name" 2>/dev/null || echo 0)"
)sh",
                executable);
        qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_oldPath);
    }
    ~FakeTools() { qputenv("PATH", m_oldPath); }

    bool isValid() const { return m_valid; }
    QString file(const QString &name) const { return m_dir.filePath(name); }
    void setReport(const QString &name, const QByteArray &report, int exitCode = 0)
    {
        Scratch::write(file(QStringLiteral("reports/") + name), report);
        Scratch::write(file(QStringLiteral("codes/") + name), QByteArray::number(exitCode));
    }
    void release(const QString &name) { Scratch::write(file(QStringLiteral("release-") + name)); }
    QStringList log(const QString &file = QStringLiteral("calls.log")) const
    {
        return QString::fromLocal8Bit(Scratch::read(this->file(file))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // The names checked, in the order the checks started.
    QStringList started() const { return log().filter(QStringLiteral("start ")).replaceInStrings(QStringLiteral("start "), QString()); }
    pid_t heldPid() const { return pid_t(Scratch::read(file(QStringLiteral("held.pid"))).trimmed().toInt()); }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    bool m_valid = false;
};
