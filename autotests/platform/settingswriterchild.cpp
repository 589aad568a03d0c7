// Writes large template files over and over until killed; the fault test kills it mid-write.
//   settingswriterchild <root>

#include "helperenvironment.h"
#include "settingswriter.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const HelperEnvironment environment(QCoreApplication::arguments().at(1), QStringLiteral("/bin/true"), QStringLiteral("/bin/true"));
    QTextStream out(stdout);
    for (int round = 0;; ++round) {
        const QChar letter = round % 2 ? QLatin1Char('b') : QLatin1Char('a');
        const QVariantHash settings {{QStringLiteral("DIGSIG_ELF_MODE"), round % 3}, {QStringLiteral("DIGSIG_XATTR_MODE"), 1},
            {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 0}, {QStringLiteral("DIGSIG_IGNORE_GOST2001"), 0},
            {QStringLiteral("DIGSIG_XATTR_CONTROL"), QString(SettingsWriter::MaxTemplateBytes, letter)}, {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), 2}};
        if (!SettingsWriter::change(environment, settings).isSuccess()) {
            return 1;
        }
        if (round == 0) {
            out << "writing" << Qt::endl;
        }
    }
}
