#include "keywright.h"

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

QPair<int, QString> run(int argc, char **argv, const QCommandLineParser &parser, const QCommandLineOption &genkeyOption)
{
    try {
        Keywright keywright;
        if (!parser.isSet(genkeyOption)) {
            return {1, QStringLiteral("argument or options not found")};
        }
        return keywright.generationKey(argumentAt(argc, argv, 2), argumentAt(argc, argv, 3), argumentAt(argc, argv, 4));
    } catch (const std::runtime_error &error) {
        // The agent set-up failed before any key work; the caller shows standard output.
        return {1, QString::fromStdString(error.what())};
    }
}
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);

    QCommandLineOption genkeyOption(QStringLiteral("genkey"), QStringLiteral("key generation"));
    QCommandLineParser parser;
    parser.addOption(genkeyOption);
    parser.process(application);

    const QPair<int, QString> result = run(argc, argv, parser, genkeyOption);
    const QByteArray text = result.second.toUtf8();
    std::fwrite(text.constData(), 1, text.size(), stdout);
    std::fflush(stdout);
    std::exit(result.first);
}
