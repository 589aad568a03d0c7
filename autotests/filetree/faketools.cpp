#include "faketools.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QRegularExpression>

namespace {
// pkexec gets absolute paths; the stand-in runs the program of that name beside it.
const QByteArray PkexecScript = R"(#!/bin/sh
program=$(basename "$1")
shift
exec "$(dirname "$0")/$program" "$@"
)";

const QByteArray BsignScript = R"(#!/bin/sh
dir=$(dirname "$0")
path="$2"
name=$(basename "$path")
printf '%s\n' "$@" > "$dir/last-arguments"
echo "start $path" >> "$dir/calls.log"
case "$name" in
*crash*) kill -KILL $$ ;;
*held*) echo $$ > "$dir/held.pid"
    while [ ! -e "$dir/release-$name" ]; do sleep 0.02; done ;;
*slow*) sleep 0.3 ;;
esac
[ -f "$dir/reports/$name" ] && cat "$dir/reports/$name"
code=0
[ -f "$dir/codes/$name" ] && code=$(cat "$dir/codes/$name")
echo "end $path" >> "$dir/calls.log"
exit "$code"
)";

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

FakeTools::FakeTools()
    : m_oldPath(qgetenv("PATH"))
{
    if (!m_dir.isValid()) {
        return;
    }
    QDir(m_dir.path()).mkpath(QStringLiteral("reports"));
    QDir(m_dir.path()).mkpath(QStringLiteral("codes"));
    writeScript(QStringLiteral("pkexec"), PkexecScript);
    writeScript(QStringLiteral("bsign"), BsignScript);
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_oldPath);
    m_valid = true;
}

FakeTools::~FakeTools()
{
    qputenv("PATH", m_oldPath);
}

bool FakeTools::isValid() const
{
    return m_valid;
}

QString FakeTools::path() const
{
    return m_dir.path();
}

void FakeTools::writeScript(const QString &name, const QByteArray &body)
{
    const QString scriptPath = m_dir.filePath(name);
    writeFile(scriptPath, body);
    QFile::setPermissions(
        scriptPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

void FakeTools::setReport(const QString &fileName, const QByteArray &report)
{
    writeFile(m_dir.filePath(QStringLiteral("reports/") + fileName), report);
}

void FakeTools::setExitCode(const QString &fileName, int code)
{
    writeFile(m_dir.filePath(QStringLiteral("codes/") + fileName), QByteArray::number(code));
}

void FakeTools::release(const QString &fileName)
{
    writeFile(m_dir.filePath(QStringLiteral("release-") + fileName), QByteArray());
}

void FakeTools::removePkexec()
{
    QFile::remove(m_dir.filePath(QStringLiteral("pkexec")));
}

QStringList FakeTools::log() const
{
    return QString::fromLocal8Bit(readFile(m_dir.filePath(QStringLiteral("calls.log")))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int FakeTools::startCount() const
{
    return log().filter(QRegularExpression(QStringLiteral("^start "))).size();
}

QStringList FakeTools::lastArguments() const
{
    QString text = QString::fromLocal8Bit(readFile(m_dir.filePath(QStringLiteral("last-arguments"))));
    text.chop(1);
    return text.split(QLatin1Char('\n'));
}

qint64 FakeTools::heldPid() const
{
    return readFile(m_dir.filePath(QStringLiteral("held.pid"))).trimmed().toLongLong();
}

QByteArray sampleReport(const QByteArray &verdictLines)
{
    return QByteArrayLiteral("signer: 1A2b3C4d5E6f7788\n"
                             "timestamp: Mon Jan  1 00:00:00 2024 (1704067200)\n"
                             "hash: {GOST R 34.11-2012} 00112233445566778899aabbccddeeff\n"
                             "signature:\n"
                             "  0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9\n"
                             "  10 11 12 13\n")
        + verdictLines;
}

bool installStatusIconTheme(const QString &directory)
{
    const QString themeDirectory = directory + QStringLiteral("/statustest");
    if (!QDir().mkpath(themeDirectory + QStringLiteral("/16x16"))) {
        return false;
    }
    writeFile(themeDirectory + QStringLiteral("/index.theme"), "[Icon Theme]\nName=statustest\nDirectories=16x16\n\n[16x16]\nSize=16\nType=Fixed\n");
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::green);
    for (const char *name : {"task-complete", "task-reject", "task-ongoing"}) {
        if (!image.save(themeDirectory + QStringLiteral("/16x16/") + QLatin1String(name) + QStringLiteral(".png"))) {
            return false;
        }
    }
    QIcon::setThemeSearchPaths({directory});
    QIcon::setThemeName(QStringLiteral("statustest"));
    return true;
}
