// Speed of the signing dialog: building the file queue over a generated tree, compared with
// find(1) over the same tree, the longest stall of the event loop while it builds, and
// 100,000 progress records through the dialog's handlers with the memory they leave behind.
//
// signingbenchmark [directories [files-per-directory]]   (default 1000 x 100)

#include "fakehelperbackend.h"
#include "signingdialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int ElfEvery = 10; // one file in ten starts with the ELF magic
constexpr int Records = 100000;

void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

void generateTree(const QString &root, int directories, int filesPerDirectory)
{
    const QByteArray elf = QByteArray("\x7f"
                                      "ELF")
        + QByteArray(60, '\0');
    const QByteArray text("plain text file\n");
    int serial = 0;
    for (int d = 0; d < directories; ++d) {
        // Two levels: 1000 directories spread over 10 parents, as a real tree nests.
        const QString directory = QStringLiteral("%1/group-%2/dir-%3").arg(root).arg(d % 10).arg(d);
        QDir().mkpath(directory);
        for (int f = 0; f < filesPerDirectory; ++f, ++serial) {
            QFile file(QStringLiteral("%1/file-%2").arg(directory).arg(f));
            file.open(QIODevice::WriteOnly);
            file.write(serial % ElfEvery == 0 ? elf : text);
        }
    }
}

double runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(-1);
    return timer.nsecsElapsed() / 1e6;
}

struct QueueFigures
{
    double milliseconds = 0;
    int files = 0;
    qint64 longestStall = 0;
};

// Builds the queue the way the dialog does, with a 1 ms timer that notes the longest gap
// between two of its ticks: the longest time the event loop was kept from running.
QueueFigures buildQueue(const QString &root, Bsign::SignMode mode)
{
    SigningDialog dialog(QStringLiteral("KEY"), {{root, true}}, mode, false);
    QueueFigures figures;
    QElapsedTimer sinceTick;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&]() {
        figures.longestStall = qMax(figures.longestStall, sinceTick.elapsed());
        sinceTick.restart();
    });
    probe.start();
    sinceTick.start();
    QElapsedTimer timer;
    timer.start();
    figures.files = dialog.parsingFilesFromPaths().size();
    figures.milliseconds = timer.nsecsElapsed() / 1e6;
    figures.longestStall = qMax(figures.longestStall, sinceTick.elapsed());
    return figures;
}

qint64 residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
}

// One run of the dialog whose job delivers the records; returns the milliseconds from exec()
// until the last record was shown.
double deliverRecords(const QString &file, const QList<QVariantMap> &records, bool saveLog)
{
    FakeHelperBackend backend;
    HelperScript script;
    script.progress = records;
    backend.script(QStringLiteral("ru.orlis.kcm.digsig.setupsigning"), script);

    SigningDialog dialog(QStringLiteral("KEY"), {{file, false}}, Bsign::XattrOnly, saveLog);
    auto *view = dialog.findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"));
    auto *ok = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok);
    // The end of the job is handled after every record: its line comes last.
    const QString lastLine = QStringLiteral("[OK] Writing selected directories and files to /etc/digsig/xattr_control");
    double milliseconds = 0;
    QElapsedTimer timer;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (ok->isEnabled() && view->document()->lastBlock().text() == lastLine) {
            milliseconds = timer.nsecsElapsed() / 1e6;
            poll.stop();
            ok->click();
        }
    });
    poll.start();
    timer.start();
    dialog.exec();
    return milliseconds;
}
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int directories = arguments.size() > 1 ? arguments.at(1).toInt() : 1000;
    const int filesPerDirectory = arguments.size() > 2 ? arguments.at(2).toInt() : 100;

    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("tree"));
    QElapsedTimer generation;
    generation.start();
    generateTree(root, directories, filesPerDirectory);
    print(
        QStringLiteral("tree: %1 files in %2 directories, generated in %3 ms").arg(directories * filesPerDirectory).arg(directories).arg(generation.elapsed()));

    // Warm the caches, so that every walk below reads from memory alike.
    runCommand(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")});
    buildQueue(root, Bsign::XattrOnly);

    const double find = runCommand(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")});
    const double findAndRead = runCommand(QStringLiteral("find"),
        {root, QStringLiteral("-type"), QStringLiteral("f"), QStringLiteral("-exec"), QStringLiteral("head"), QStringLiteral("-c4"), QStringLiteral("{}"),
            QStringLiteral("+")});
    const struct
    {
        Bsign::SignMode mode;
        const char *name;
        const char *baselineName;
        double baseline;
        double allowed;
    } modes[] = {
        {Bsign::XattrOnly, "xattr only", "find -type f", find, 1.5},
        {Bsign::ElfAndXattr, "elf and xattr", "find -type f", find, 1.5},
        {Bsign::ElfOnly, "elf only", "find plus a 4-byte read per file", findAndRead, 2.0},
    };
    for (const auto &mode : modes) {
        const QueueFigures figures = buildQueue(root, mode.mode);
        const double ratio = figures.milliseconds / mode.baseline;
        print(QStringLiteral("file queue, %1, %2 files: %3 ms | baseline, %4: %5 ms | ratio %6 | goal at most %7: %8 | longest event-loop stall %9 ms, "
                             "goal at most 50 ms: %10")
                  .arg(QLatin1String(mode.name))
                  .arg(figures.files)
                  .arg(figures.milliseconds, 0, 'f', 1)
                  .arg(QLatin1String(mode.baselineName))
                  .arg(mode.baseline, 0, 'f', 1)
                  .arg(ratio, 0, 'f', 2)
                  .arg(mode.allowed, 0, 'f', 1)
                  .arg(ratio <= mode.allowed ? QStringLiteral("met") : QStringLiteral("MISSED"))
                  .arg(figures.longestStall)
                  .arg(figures.longestStall <= 50 ? QStringLiteral("met") : QStringLiteral("MISSED")));
    }

    // Progress records: the first completes the one queued file, the rest only add lines.
    QList<QVariantMap> records;
    records.reserve(Records);
    for (int i = 0; i < Records; ++i) {
        records.append({{QStringLiteral("file_finished"), QVariantMap {{QStringLiteral("/bench/file-%1").arg(i), 0}}}});
    }
    const QString file = dir.filePath(QStringLiteral("one-file"));
    QFile one(file);
    one.open(QIODevice::WriteOnly);
    one.write("x");
    one.close();

    deliverRecords(file, records.mid(0, 2000), false); // settle the widgets' own caches
    for (const bool saveLog : {false, true}) {
        // Two rounds without the log show whether memory stays flat; one with it shows what
        // the kept log lines cost.
        for (int round = 1; round <= (saveLog ? 1 : 2); ++round) {
            const qint64 before = residentKilobytes();
            const double milliseconds = deliverRecords(file, records, saveLog);
            const qint64 after = residentKilobytes();
            const double perRecord = milliseconds * 1000 / Records;
            print(QStringLiteral("%1 progress records with the log on screen, save log %2, round %3: %4 us per record | goal at most 20 us: %5 | "
                                 "resident memory %6 kB -> %7 kB (%8 kB)%9")
                      .arg(Records)
                      .arg(saveLog ? QStringLiteral("on") : QStringLiteral("off"))
                      .arg(round)
                      .arg(perRecord, 0, 'f', 2)
                      .arg(perRecord <= 20 ? QStringLiteral("met") : QStringLiteral("MISSED"))
                      .arg(before)
                      .arg(after)
                      .arg(after - before, 0, 10)
                      // Kept log lines are the log itself; without them memory must stay flat.
                      .arg(saveLog
                              ? QString()
                              : QStringLiteral(", goal flat (under 1 MB): %1").arg(after - before < 1024 ? QStringLiteral("met") : QStringLiteral("MISSED"))));
        }
    }
    return 0;
}
