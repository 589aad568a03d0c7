#include "digsighelper.h"

#include "bootlistupdater.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "settingswriter.h"
#include "signingkeys.h"
#include "signinglog.h"
#include "signingrun.h"
#include "treelister.h"

#include <KAuth/HelperSupport>
#include <KJob>

#include <QDateTime>

namespace {
void sendProgress(const QVariantMap &record)
{
    KAuth::HelperSupport::progressStep(record);
}

bool stopRequested()
{
    return KAuth::HelperSupport::isStopped();
}
}

DigsigHelper::DigsigHelper()
{
    // The bus starts helpers with a nearly empty environment; GpgME finds gpgconf on this path.
    qputenv("PATH", HelperEnvironment::programSearchPath().toLatin1());
}

KAuth::ActionReply DigsigHelper::reply(const HelperResult &result)
{
    if (!result.isSuccess()) {
        return refuse(result.error());
    }
    KAuth::ActionReply success = KAuth::ActionReply::SuccessReply();
    success.setData(result.data());
    return success;
}

KAuth::ActionReply DigsigHelper::refuse(const QString &error)
{
    KAuth::ActionReply failure = KAuth::ActionReply::HelperErrorReply(KJob::UserDefinedError);
    failure.setErrorDescription(error);
    return failure;
}

QString DigsigHelper::chosenOperation(const QVariantMap &arguments, const QStringList &choices)
{
    QString chosen;
    for (const QString &choice : choices) {
        if (arguments.contains(choice)) {
            if (!chosen.isEmpty()) {
                return QString();
            }
            chosen = choice;
        }
    }
    return chosen;
}

KAuth::ActionReply DigsigHelper::change(const QVariantMap &arguments)
{
    const QString operation = chosenOperation(arguments, {QStringLiteral("change_digsig"), QStringLiteral("update_only")});
    if (operation == QLatin1String("change_digsig")) {
        return reply(SettingsWriter::change(HelperEnvironment::platform(), arguments.value(operation)));
    }
    if (operation == QLatin1String("update_only")) {
        return reply(BootListUpdater::update(HelperEnvironment::platform(), sendProgress));
    }
    return refuse(QStringLiteral("Expected exactly one of \"change_digsig\" and \"update_only\""));
}

KAuth::ActionReply DigsigHelper::setupsigning(const QVariantMap &arguments)
{
    const QString operation = chosenOperation(arguments, {QStringLiteral("check_elf"), QStringLiteral("get_dir_iter"), QStringLiteral("signing_process")});
    if (operation == QLatin1String("check_elf")) {
        return reply(TreeLister::checkElf(arguments.value(operation)));
    }
    if (operation == QLatin1String("get_dir_iter")) {
        return reply(TreeLister::listDirectory(arguments.value(operation)));
    }
    if (operation == QLatin1String("signing_process")) {
        const auto offeredKey = [](const QString &keyId, QString *problem) { return SigningKeys::offered(HelperEnvironment::platform(), keyId, problem); };
        return reply(SigningRun::run(HelperEnvironment::platform(), arguments, KAuth::HelperSupport::callerUid(), sendProgress, stopRequested, offeredKey));
    }
    return refuse(QStringLiteral("Expected exactly one of \"check_elf\", \"get_dir_iter\" and \"signing_process\""));
}

KAuth::ActionReply DigsigHelper::keyslist(const QVariantMap &arguments)
{
    if (arguments.contains(QStringLiteral("import_zelmark_keys"))) {
        return reply(KeyActions::importVendorKeys(HelperEnvironment::platform()));
    }
    return reply(KeyActions::keys(HelperEnvironment::platform()));
}

KAuth::ActionReply DigsigHelper::exportkey(const QVariantMap &arguments)
{
    return reply(KeyActions::exportKey(HelperEnvironment::platform(), arguments.value(QStringLiteral("key")), arguments.value(QStringLiteral("path"))));
}

KAuth::ActionReply DigsigHelper::logging(const QVariantMap &arguments)
{
    return reply(SigningLog::append(
        HelperEnvironment::platform(), arguments.value(QStringLiteral("log")), KAuth::HelperSupport::callerUid(), QDateTime::currentDateTime()));
}
