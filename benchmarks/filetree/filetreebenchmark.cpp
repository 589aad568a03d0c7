// Figures of the file tree's hot paths, each beside a plain loop over the same rows or
// files measured in the same run. Prints the figures and their ratios; asserts nothing.
#include "checkabletreeproxymodel.h"
#include "filteredtreeproxymodel.h"
#include "signfilemodel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
constexpr int Repeats = 5;

double medianMs(const std::function<void()> &prepare, const std::function<void()> &measured)
{
    QVector<double> runs;
    for (int i = 0; i < Repeats; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        measured();
        runs.append(timer.nsecsElapsed() / 1e6);
    }
    std::sort(runs.begin(), runs.end());
    return runs.at(Repeats / 2);
}

// One line per figure: the figure, its baseline from the same run, the ratio and the goal.
void report(const char *what, double measuredMs, const char *baselineWhat, double baselineMs, double goalRatio)
{
    const double ratio = measuredMs / baselineMs;
    std::printf("%s: %.3f ms | baseline, %s: %.3f ms | ratio %.2f | goal at most %.1f: %s\n", what, measuredMs, baselineWhat, baselineMs, ratio, goalRatio,
        ratio <= goalRatio ? "met" : "MISSED");
    std::fflush(stdout);
}

// A top row with a directory of the given number of children and one sibling.
QStandardItemModel *makeTree(int children)
{
    auto *model = new QStandardItemModel;
    auto *top = new QStandardItem(QStringLiteral("top"));
    auto *directory = new QStandardItem(QStringLiteral("directory"));
    QList<QStandardItem *> rows;
    rows.reserve(children);
    for (int i = 0; i < children; ++i) {
        rows.append(new QStandardItem(QString::number(i)));
    }
    directory->appendRows(rows);
    top->appendRow(directory);
    top->appendRow(new QStandardItem(QStringLiteral("sibling")));
    model->appendRow(top);
    return model;
}

// index() and a hash look-up per row, over the same kind of store the proxy keeps.
int plainPass(const QAbstractItemModel &model, const QModelIndex &parent, const QHash<QPersistentModelIndex, Qt::CheckState> &store, int step = 1)
{
    int found = 0;
    const int rows = model.rowCount(parent);
    for (int row = 0; row < rows; row += step) {
        found += store.contains(QPersistentModelIndex(model.index(row, 0, parent))) ? 1 : 0;
    }
    return found;
}

void tickingLargeDirectory()
{
    QScopedPointer<QStandardItemModel> source(makeTree(100000));
    CheckableTreeProxyModel proxy;
    proxy.setSourceModel(source.data());
    const QModelIndex directory = proxy.index(0, 0, proxy.index(0, 0));
    proxy.rowCount(directory);
    QHash<QPersistentModelIndex, Qt::CheckState> store;
    store.insert(proxy.index(0, 0), Qt::PartiallyChecked);

    const double tick = medianMs([&]() { proxy.reset(); }, [&]() { proxy.setData(directory, Qt::Checked, Qt::CheckStateRole); });
    int sink = 0;
    const double plain = medianMs([]() {}, [&]() { sink += plainPass(proxy, directory, store); });
    report("tick a directory with 100,000 loaded children", tick, "plain pass over its 100,000 rows", plain, 3);
    Q_UNUSED(sink)
}

void checkedListOfManyMarks()
{
    QScopedPointer<QStandardItemModel> source(makeTree(20000));
    CheckableTreeProxyModel proxy;
    proxy.setSourceModel(source.data());
    const QModelIndex directory = proxy.index(0, 0, proxy.index(0, 0));
    for (int row = 1; row < 20000; row += 2) {
        proxy.setData(proxy.index(row, 0, directory), Qt::Checked, Qt::CheckStateRole);
    }
    QHash<QPersistentModelIndex, Qt::CheckState> store;
    for (int row = 1; row < 20000; row += 2) {
        store.insert(proxy.index(row, 0, directory), Qt::Checked);
    }

    int sink = 0;
    const double list = medianMs([]() {}, [&]() { sink += proxy.checkedList().size(); });
    const double plain = medianMs([]() {}, [&]() { sink += plainPass(proxy, directory, store, 2); });
    report("checkedList with 10,000 stored marks", list, "plain pass over the same 10,000 rows", plain, 3);
}

bool writeExecutable(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size()) {
        return false;
    }
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool loadDirectory(QFileSystemModel &model, const QString &path, int expected)
{
    if (model.canFetchMore(model.index(path))) {
        model.fetchMore(model.index(path));
    }
    return QTest::qWaitFor([&]() { return model.rowCount(model.index(path)) == expected; }, 120000);
}

void checksThroughTheQueue()
{
    constexpr int Files = 200;
    QTemporaryDir tools;
    QTemporaryDir files;
    // Stand-ins first on PATH: the machine's own pkexec is never run. It gets bsign's
    // absolute path and runs the stand-in of that name.
    if (!writeExecutable(tools.filePath(QStringLiteral("pkexec")), "#!/bin/sh\nprogram=$(basename \"$1\")\nshift\nexec \"$(dirname \"$0\")/$program\" \"$@\"\n")
        || !writeExecutable(tools.filePath(QStringLiteral("bsign")), "#!/bin/sh\nexit 0\n")) {
        std::printf("cannot write the stand-in tools\n");
        return;
    }
    qputenv("PATH", QFile::encodeName(tools.path()) + ':' + qgetenv("PATH"));
    QStringList paths;
    for (int i = 0; i < Files; ++i) {
        paths.append(files.filePath(QStringLiteral("file%1").arg(i)));
        QFile(paths.last()).open(QIODevice::WriteOnly);
    }

    QElapsedTimer timer;
    timer.start();
    for (const QString &path : qAsConst(paths)) {
        QProcess process;
        process.start(QStringLiteral("pkexec"), {QStringLiteral(BSIGN_PROGRAM), QStringLiteral("-w"), path}, QIODevice::ReadWrite);
        process.waitForFinished();
    }
    const double serialMs = timer.nsecsElapsed() / 1e6;

    SignFileModel model;
    model.setRootPath(files.path());
    if (!loadDirectory(model, files.path(), Files)) {
        std::printf("directory did not load\n");
        return;
    }
    int done = 0;
    QEventLoop loop;
    QObject::connect(&model, &QAbstractItemModel::dataChanged, [&](const QModelIndex &topLeft) {
        done += topLeft.column() == SignFileModel::ElfColumn ? 1 : 0;
        if (done == Files) {
            loop.quit();
        }
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    timer.restart();
    for (const QString &path : qAsConst(paths)) {
        model.data(model.elfIndex(model.index(path)), Qt::DecorationRole);
    }
    loop.exec();
    const double queueMs = timer.nsecsElapsed() / 1e6;
    if (done != Files) {
        std::printf("only %d of %d checks ended\n", done, Files);
    }
    const double queueRate = Files * 1000.0 / queueMs;
    const double serialRate = Files * 1000.0 / serialMs;
    const double ratio = queueRate / serialRate;
    std::printf("status checks through the model, %d files, bsign exits at once: %.1f checks/s | baseline, the same command in a serial loop: %.1f/s | "
                "ratio %.2f | goal at least 1.6: %s\n",
        Files, queueRate, serialRate, ratio, ratio >= 1.6 ? "met" : "MISSED");
    std::fflush(stdout);
}

// With every third file a text file the proxy also removes 3,333 scattered rows, which
// QSortFilterProxyModel announces range by range; with ELF files only the figure is the
// filter's own work.
void elfOnlyFilter(bool everyThirdIsText)
{
    constexpr int Files = 10000;
    QTemporaryDir files;
    const QByteArray elf("\x7f"
                         "ELF\x02\x01\x01\x00",
        8);
    const auto isText = [everyThirdIsText](int i) { return everyThirdIsText && i % 3 == 0; };
    QStringList paths;
    for (int i = 0; i < Files; ++i) {
        paths.append(files.filePath(QStringLiteral("file%1%2").arg(i).arg(isText(i) ? QStringLiteral(".txt") : QString())));
        QFile file(paths.last());
        file.open(QIODevice::WriteOnly);
        file.write(isText(i) ? QByteArray("text") : elf);
    }

    SignFileModel model;
    FilteredTreeProxyModel proxy;
    proxy.setSourceModel(&model);
    model.setRootPath(files.path());
    if (!loadDirectory(model, files.path(), Files)) {
        std::printf("directory did not load\n");
        return;
    }
    proxy.rowCount(proxy.mapFromSource(model.index(files.path())));
    const double filter = medianMs([&]() { proxy.showOnlyElf(false); }, [&]() { proxy.showOnlyElf(true); });

    int sink = 0;
    const double plain = medianMs([]() {},
        [&]() {
            for (const QString &path : qAsConst(paths)) {
                QFile file(path);
                if (file.open(QIODevice::ReadOnly)) {
                    sink += file.read(4).size();
                }
            }
        });
    report(everyThirdIsText ? "ELF-only filter, 10,000 files, a third of them hidden" : "ELF-only filter over 10,000 readable ELF files", filter,
        "plain open, read 4 bytes, close loop", plain, 2);
    Q_UNUSED(sink)
}
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    tickingLargeDirectory();
    checkedListOfManyMarks();
    checksThroughTheQueue();
    elfOnlyFilter(false);
    elfOnlyFilter(true);
    return 0;
}
