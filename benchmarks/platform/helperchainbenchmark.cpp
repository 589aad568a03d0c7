// Speed of the real privileged chain, as a non-root caller inside the sandbox: the median
// round trip of a synchronous action, and files signed per second through the helper's
// signing action against a serial loop of the same bsign command that the script timed.
//   helperchainbenchmark <directory of files to sign> <fingerprint> <what bsign is>
//                        <serial loop files/s> <goal ratio>

#include "helpercall.h"
#include "helperjob.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
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

// Signs in extended attributes only, so that any file will do.
double helperRate(const QStringList &files, const QString &fingerprint, int *records)
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace, 2147483647);
    action.setArguments(
        {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), files}, {QStringLiteral("key_id"), fingerprint}, {QStringLiteral("mode"), 1},
            {QStringLiteral("DISPLAY"), QString()}, {QStringLiteral("XAUTHORITY"), QString()}, {QStringLiteral("paths"), QStringList()}});
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
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 6) {
        out << "usage: helperchainbenchmark <files directory> <fingerprint> <what bsign is> <serial files/s> <goal ratio>\n";
        return 2;
    }
    const QStringList files = filesIn(arguments.at(1));
    const double serial = arguments.at(4).toDouble();
    const double goal = arguments.at(5).toDouble();

    medianRoundTrip(1); // starts the helper
    const double roundTrip = medianRoundTrip(200);
    out << "median round trip of a synchronous action: " << QString::number(roundTrip, 'f', 2)
        << " ms | goal at most 10 ms: " << (roundTrip <= 10 ? "met" : "MISSED") << '\n';
    int records = 0;
    const double helper = helperRate(files, arguments.at(2), &records);
    const double ratio = helper / serial;
    out << "signing " << files.size() << " files through the helper, " << arguments.at(3) << ": " << qRound(helper) << " files/s"
        << " | baseline, the same bsign in a serial loop: " << qRound(serial) << " files/s | ratio " << QString::number(ratio, 'f', 2) << " | goal at least "
        << QString::number(goal, 'f', 1) << ": " << (ratio >= goal ? "met" : "MISSED") << " | records " << records << " of " << files.size() << '\n';
    return records >= files.size() ? 0 : 1;
}
