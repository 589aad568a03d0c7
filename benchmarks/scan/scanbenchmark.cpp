// Figures of the signature scan:
//   scanbenchmark programs <directory> <serial seconds>  the module's scan through pkexec digsig-check
//   scanbenchmark memory                                 100,000 files' lines, answered at once
// Each prints one line: figure | baseline | ratio | goal.

#include "signaturescan.h"
#include "signaturescandialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
constexpr int ManyFiles = 100000;

void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// Resident memory in MB, now and at its peak so far.
double residentMegabytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toDouble() / 1024;
        }
    }
    return 0;
}

// The longest time the event loop did not turn while the scan ran.
struct StallWatch
{
    QTimer tick;
    QElapsedTimer since;
    qint64 longest = 0;
    StallWatch()
    {
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [this]() { longest = qMax(longest, since.restart() - tick.interval()); });
        since.start();
        tick.start();
    }
};

bool runToEnd(SignatureScan &scan)
{
    bool cancelled = true;
    QEventLoop loop;
    QObject::connect(&scan, &SignatureScan::finished, &loop, [&](bool wasCancelled) {
        cancelled = wasCancelled;
        loop.quit();
    });
    scan.start();
    loop.exec();
    return !cancelled;
}

int programs(const QString &directory, double serialSeconds)
{
    // The report window shows the scan as it runs, so its painting counts in the stalls.
    DigSigSettingsData settings;
    settings.setElfMode(ControllMode::On);
    settings.setVerifyMode(VerificationModeId::OnlyElf);
    SignatureScanDialog dialog(settings);
    dialog.show();
    SignatureScan &scan = *dialog.scan();
    scan.setProgramDirectories({directory});
    scan.setXattrTemplates(QString());
    StallWatch stalls;
    QElapsedTimer clock;
    clock.start();
    if (!runToEnd(scan)) {
        return 1;
    }
    const double seconds = clock.elapsed() / 1000.0;
    print(QStringLiteral("%1 programs scanned by the module through pkexec digsig-check and the bsign stand-in: %2 s (%3 problems) | baseline, a serial "
                         "loop of bsign -w as root: %4 s | ratio %5 | goal at least 1.6: %6 | longest event-loop stall %7 ms, goal at most 50 ms: %8")
              .arg(scan.seen())
              .arg(seconds, 0, 'f', 1)
              .arg(scan.problems())
              .arg(serialSeconds, 0, 'f', 1)
              .arg(serialSeconds / seconds, 0, 'f', 2)
              .arg(verdict(serialSeconds / seconds >= 1.6))
              .arg(stalls.longest)
              .arg(verdict(stalls.longest <= 50)));
    return 0;
}

// The module's side of a scan of 100,000 files: a stand-in pkexec first on PATH answers with
// digsig-check's lines for them at once.
int memory()
{
    QTemporaryDir scratch;
    QFile lines(scratch.filePath(QStringLiteral("lines.json")));
    if (!lines.open(QIODevice::WriteOnly)) {
        return 1;
    }
    for (int file = 0; file < ManyFiles; ++file) {
        lines.write(QStringLiteral("{\"path\":\"/usr/lib/package-%1/sub/libprogram-%2.so.1\",\"elf\":\"good\",\"xattr\":\"none\",\"verdict\":\"runs\","
                                   "\"key\":\"0123456789ABCDEF\",\"needed\":false,\"elf_file\":true}\n")
                        .arg(file / 1000, 3, 10, QLatin1Char('0'))
                        .arg(file % 1000)
                        .toUtf8());
    }
    lines.close();
    QFile pkexec(scratch.filePath(QStringLiteral("pkexec")));
    if (!pkexec.open(QIODevice::WriteOnly) || pkexec.write("#!/bin/sh\nexec cat '" + QFile::encodeName(lines.fileName()) + "'\n") < 0) {
        return 1;
    }
    pkexec.close();
    pkexec.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    qputenv("PATH", QFile::encodeName(scratch.path()) + ':' + qgetenv("PATH"));
    const double before = residentMegabytes("VmRSS:");
    SignatureScan scan;
    StallWatch stalls;
    QElapsedTimer clock;
    clock.start();
    if (!runToEnd(scan) || scan.seen() != ManyFiles) {
        return 1;
    }
    const double grown = residentMegabytes("VmHWM:") - before;
    print(QStringLiteral("%1 files read from digsig-check's lines by the module: %2 MB more memory at the peak, %3 s | baseline before the scan: %4 MB | "
                         "ratio %5 | goal under 100 MB: %6 | longest event-loop stall %7 ms, goal at most 50 ms: %8")
              .arg(scan.seen())
              .arg(grown, 0, 'f', 1)
              .arg(clock.elapsed() / 1000.0, 0, 'f', 1)
              .arg(before, 0, 'f', 1)
              .arg(grown / before, 0, 'f', 2)
              .arg(verdict(grown < 100))
              .arg(stalls.longest)
              .arg(verdict(stalls.longest <= 50)));
    return 0;
}
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("programs")) {
        return programs(arguments.at(2), arguments.at(3).toDouble());
    }
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("memory")) {
        return memory();
    }
    std::fprintf(stderr, "usage: scanbenchmark programs <directory> <serial seconds> | memory\n");
    return 2;
}
