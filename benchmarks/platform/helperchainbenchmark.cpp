// Speed of the real privileged chain, as a non-root caller inside the sandbox, with a bsign
// that exits at once: files signed per second through the helper against a plain loop that
// starts the same command as often, and the median round trip of a synchronous action.
//   helperchainbenchmark <directory of files to sign>

#include "helpercall.h"
#include "helperjob.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTextStream>

#include <algorithm>

namespace {
QStringList filesIn(const QString &directory)
{
    QStringList files;
    const QStringList names = QDir(directory).entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        files.append(directory + QLatin1Char('/') + name);
    }
    return files;
}

double plainLoopRate(const QStringList &files)
{
    QElapsedTimer clock;
    clock.start();
    for (const QString &file : files) {
        QProcess bsign;
        bsign.start(QStringLiteral("/usr/bin/bsign"),
            {QStringLiteral("--sign"), QStringLiteral("--kind"), QStringLiteral("elf"), QStringLiteral("--key"), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567"),
                QStringLiteral("--"), file});
        bsign.waitForFinished(-1);
    }
    return files.size() * 1000.0 / clock.elapsed();
}

double helperRate(const QStringList &files, int *records)
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace, 2147483647);
    action.setArguments(
        {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), files}, {QStringLiteral("key_id"), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567")},
            {QStringLiteral("mode"), 0}, {QStringLiteral("DISPLAY"), QString()}, {QStringLiteral("XAUTHORITY"), QString()}});
    HelperJob *job = HelperCall::execute(action);
    QObject::connect(job, &HelperJob::newData, [records](const QVariantMap &) { ++*records; });
    QElapsedTimer clock;
    clock.start();
    job->exec();
    return files.size() * 1000.0 / clock.elapsed();
}

double medianRoundTrip(int calls)
{
    QVector<double> times;
    for (int i = 0; i < calls; ++i) {
        KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
        action.addArgument(QStringLiteral("check_elf"), QStringLiteral("/usr/bin/true"));
        QElapsedTimer clock;
        clock.start();
        HelperCall::execute(action)->exec();
        times.append(clock.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times.at(times.size() / 2);
}
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    const QStringList files = filesIn(QCoreApplication::arguments().value(1));

    medianRoundTrip(1); // starts the helper
    const double plain = plainLoopRate(files);
    int records = 0;
    const double helper = helperRate(files, &records);
    out << "files: " << files.size() << ", records received: " << records << '\n';
    out << "plain loop: " << qRound(plain) << " files/s\n";
    out << "through the helper: " << qRound(helper) << " files/s\n";
    out << "ratio: " << QString::number(helper / plain, 'f', 2) << " (goal at least 0.80)\n";
    out << "median round trip of a synchronous action: " << QString::number(medianRoundTrip(200), 'f', 2) << " ms (goal at most 10 ms)\n";
    return records == files.size() ? 0 : 1;
}
