#include "keywright.h"
#include "processguard.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {
// The values follow "--genkey" at fixed positions; a missing one counts as not given.
QString argumentAt(int argc, char **argv, int position)
{
    return position < argc ? QString::fromUtf8(argv[position]) : QString();
}

// Only the option itself goes through the parser: a value such as the comment "-test" is a
// value, never an option.
bool genkeyRequested(int argc, char **argv)
{
    const QCommandLineOption genkeyOption(QStringLiteral("genkey"), QStringLiteral("key generation"));
    QCommandLineParser parser;
    parser.addOption(genkeyOption);
    const QStringList optionPart {argumentAt(argc, argv, 0), argumentAt(argc, argv, 1)};
    return argc >= 2 && parser.parse(optionPart) && parser.isSet(genkeyOption);
}

QPair<int, QString> run(int argc, char **argv)
{
    if (!genkeyRequested(argc, argv)) {
        return {1, QStringLiteral("argument or options not found")};
    }
    const QString name = argumentAt(argc, argv, 2);
    const QString email = argumentAt(argc, argv, 3);
    const QString comment = argumentAt(argc, argv, 4);
    // Nothing of root's agent changes for a request that can not make a key.
    const QString problem = Keywright::parameterProblem(name, email, comment);
    if (!problem.isEmpty()) {
        return {1, problem};
    }
    ProcessGuard guard;
    const QString displayProblem = guard.checkDisplay();
    if (!displayProblem.isEmpty()) {
        return {1, displayProblem};
    }
    try {
        Keywright keywright;
        return keywright.generationKey(name, email, comment);
    } catch (const std::runtime_error &error) {
        // The agent set-up failed before any key work; the caller shows standard output.
        return {1, QString::fromStdString(error.what())};
    }
}
}

int main(int argc, char **argv)
{
    ProcessGuard::harden();
    QCoreApplication application(argc, argv);
    const QPair<int, QString> result = run(argc, argv);
    const QByteArray text = result.second.toUtf8();
    std::fwrite(text.constData(), 1, text.size(), stdout);
    std::fflush(stdout);
    std::exit(result.first);
}
