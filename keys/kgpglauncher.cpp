#include "kgpglauncher.h"

#include <KLocalizedString>

#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>

namespace {
QString kgpgPathOverride;
QString kgpgLauncherOverride;

QString valueOr(const QString &override, const QString &value)
{
    return override.isEmpty() ? value : override;
}
}

bool KgpgLauncher::open()
{
    const QString kgpg = valueOr(kgpgPathOverride, QStringLiteral(KGPG_PROGRAM));
    if (QFileInfo::exists(kgpg)) {
        QProcess::execute(valueOr(kgpgLauncherOverride, QStringLiteral("pkexec")), {kgpg, QStringLiteral("-k")});
        return true;
    }
    QMessageBox::information(nullptr, i18nd("orlis_kcm_digsig", "The kgpg utility is not installed"),
        i18nd("orlis_kcm_digsig", "To open key management utility run in the console:") + QLatin1Char(' ') + QStringLiteral("apt-get install kgpg"),
        QMessageBox::Ok);
    return false;
}

void KgpgLauncher::setKgpgPathForTesting(const QString &path)
{
    kgpgPathOverride = path;
}

void KgpgLauncher::setKgpgLauncherForTesting(const QString &program)
{
    kgpgLauncherOverride = program;
}
