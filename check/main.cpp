// digsig-check: which programs would the kernel refuse after the next boot? Run as root.

#include "checkconfiguration.h"
#include "checkoptions.h"
#include "checkrun.h"
#include "filewalk.h"
#include "reportwriter.h"
#include "startupfiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int fail(const QString &message)
{
    fprintf(stderr, "digsig-check: %s\n", qPrintable(message));
    return 2;
}

QStringList commandLine(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QFile::decodeName(argv[i]));
    }
    return arguments;
}

bool isDirectory(const QString &path)
{
    struct stat status;
    return stat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode);
}
}

int main(int argc, char **argv)
{
    CheckOptions options;
    if (!options.parse(commandLine(argc, argv))) {
        fail(options.error());
        fprintf(stderr, "%s", qPrintable(CheckOptions::usage()));
        return 2;
    }
    if (geteuid() != 0) {
        return fail(QStringLiteral("must run as root; start it with pkexec"));
    }
    // A reader that goes away ends the check through a failed write, not a signal.
    signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);

    const RootPath root(options.root);
    if (!options.root.isEmpty() && !isDirectory(options.root)) {
        return fail(QStringLiteral("%1 is no directory").arg(options.root));
    }
    CheckConfiguration configuration;
    if (!configuration.read(root, options.mode == VerificationModeId::Invalid)) {
        return fail(configuration.error());
    }
    const VerificationModeId mode = options.mode == VerificationModeId::Invalid ? configuration.verifyMode() : options.mode;

    FileWalk walk(root);
    if (options.listedOnly && options.directoriesGiven) {
        return fail(QStringLiteral("--listed-only and --dir exclude each other"));
    }
    if (options.noTemplates && options.templatesGiven) {
        return fail(QStringLiteral("--no-templates and --template exclude each other"));
    }
    const QStringList directories = options.listedOnly ? QStringList()
        : options.directoriesGiven                     ? options.directories
                                                       : ScanRules::defaultProgramDirectories();
    for (const QString &directory : directories) {
        const QString real = root.resolved(directory);
        if (options.directoriesGiven && (real.isEmpty() || !isDirectory(root.outside(real)))) {
            return fail(QStringLiteral("%1 is no directory").arg(root.outside(directory)));
        }
        walk.addProgramDirectory(directory);
    }
    const QString templates = options.noTemplates ? QString() : options.templatesGiven ? options.templates.join(QLatin1Char('\n')) : configuration.templates();
    for (const ScanRules::Template &entry : ScanRules::templates(templates)) {
        walk.addTemplate(entry);
    }

    ReportWriter writer(options.format, options.problemsOnly, stdout);
    CheckRun run(&walk, &writer, root, mode, options.effectiveJobs());
    run.setNeeded(StartupFiles(root).collect());
    run.setProgressShown(!options.quiet && isatty(STDERR_FILENO));
    QObject::connect(&run, &CheckRun::finished, &application, &QCoreApplication::quit, Qt::QueuedConnection);
    if (options.stopAtEndOfInput) {
        // The module closes its end of the pipe to cancel: it may not signal a root process.
        auto input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &application);
        QObject::connect(input, &QSocketNotifier::activated, &run, [&run, input] {
            char buffer[256];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
                input->setEnabled(false);
                run.stop(QStringLiteral("standard input was closed"));
            }
        });
    }
    run.start();
    application.exec();
    return run.exitStatus();
}
