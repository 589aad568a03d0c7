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
#include <QRegularExpression>

namespace {
const QString CallIdKey = QStringLiteral("call_id");
}

DigsigHelper::DigsigHelper()
{
    // The bus starts helpers with a nearly empty environment; gpg and its agent are found on this path.
    qputenv("PATH", HelperEnvironment::programSearchPath().toLatin1());
}

KAuth::ActionReply DigsigHelper::reply(const HelperResult &result) const
{
    if (!result.isSuccess()) {
        return refuse(result.error());
    }
    KAuth::ActionReply success = KAuth::ActionReply::SuccessReply();
    QVariantMap data = result.data();
    if (!m_callId.isEmpty()) {
        data.insert(CallIdKey, m_callId);
    }
    success.setData(data);
    return success;
}

KAuth::ActionReply DigsigHelper::refuse(const QString &error) const
{
    KAuth::ActionReply failure = KAuth::ActionReply::HelperErrorReply(KJob::UserDefinedError);
    failure.setErrorDescription(error);
    if (!m_callId.isEmpty()) {
        failure.setData({{CallIdKey, m_callId}});
    }
    return failure;
}

bool DigsigHelper::takeCallId(const QVariantMap &arguments)
{
    static const QRegularExpression token(QStringLiteral("\\A[0-9A-Za-z-]{1,64}\\z"));
    m_callId.clear();
    m_sinceRecord.start();
    const QVariant id = arguments.value(CallIdKey);
    if (!id.isValid()) {
        return true;
    }
    if (id.type() != QVariant::String || !token.match(id.toString()).hasMatch()) {
        return false;
    }
    m_callId = id.toString();
    return true;
}

KAuth::ActionReply DigsigHelper::refuseCallId() const
{
    return refuse(QStringLiteral("\"call_id\" must be a text of at most 64 letters, digits and dashes"));
}

void DigsigHelper::sendProgress(const QVariantMap &record)
{
    QVariantMap sent(record);
    if (!m_callId.isEmpty()) {
        sent.insert(CallIdKey, m_callId);
    }
    KAuth::HelperSupport::progressStep(sent);
    m_sinceRecord.start();
}

void DigsigHelper::beat()
{
    if (m_sinceRecord.elapsed() >= HeartbeatMilliseconds) {
        sendProgress({{QStringLiteral("heartbeat"), true}});
    }
}

bool DigsigHelper::stopRequested()
{
    beat();
    return KAuth::HelperSupport::isStopped();
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
    if (!takeCallId(arguments)) {
        return refuseCallId();
    }
    const QString operation = chosenOperation(arguments, {QStringLiteral("change_digsig"), QStringLiteral("update_only")});
    if (operation == QLatin1String("change_digsig")) {
        return reply(SettingsWriter::change(HelperEnvironment::platform(), arguments.value(operation)));
    }
    if (operation == QLatin1String("update_only")) {
        return reply(BootListUpdater::update(
            HelperEnvironment::platform(), [this](const QVariantMap &record) { sendProgress(record); }, [this] { beat(); }));
    }
    return refuse(QStringLiteral("Expected exactly one of \"change_digsig\" and \"update_only\""));
}

KAuth::ActionReply DigsigHelper::setupsigning(const QVariantMap &arguments)
{
    if (!takeCallId(arguments)) {
        return refuseCallId();
    }
    const QString operation = chosenOperation(arguments, {QStringLiteral("check_elf"), QStringLiteral("get_dir_iter"), QStringLiteral("signing_process")});
    if (operation == QLatin1String("check_elf")) {
        return reply(TreeLister::checkElf(arguments.value(operation)));
    }
    if (operation == QLatin1String("get_dir_iter")) {
        return reply(TreeLister::listDirectory(arguments.value(operation)));
    }
    if (operation == QLatin1String("signing_process")) {
        const auto offeredKey = [](const QString &keyId, QString *problem) { return SigningKeys::offered(HelperEnvironment::platform(), keyId, problem); };
        return reply(SigningRun::run(
            HelperEnvironment::platform(), arguments, KAuth::HelperSupport::callerUid(), [this](const QVariantMap &record) { sendProgress(record); },
            [this] { return stopRequested(); }, offeredKey));
    }
    return refuse(QStringLiteral("Expected exactly one of \"check_elf\", \"get_dir_iter\" and \"signing_process\""));
}

KAuth::ActionReply DigsigHelper::keyslist(const QVariantMap &arguments)
{
    if (!takeCallId(arguments)) {
        return refuseCallId();
    }
    if (arguments.contains(QStringLiteral("import_zelmark_keys"))) {
        return reply(KeyActions::importVendorKeys(HelperEnvironment::platform()));
    }
    return reply(KeyActions::keys(HelperEnvironment::platform()));
}

KAuth::ActionReply DigsigHelper::exportkey(const QVariantMap &arguments)
{
    if (!takeCallId(arguments)) {
        return refuseCallId();
    }
    return reply(KeyActions::exportKey(HelperEnvironment::platform(), arguments.value(QStringLiteral("key")), arguments.value(QStringLiteral("path"))));
}

KAuth::ActionReply DigsigHelper::logging(const QVariantMap &arguments)
{
    if (!takeCallId(arguments)) {
        return refuseCallId();
    }
    return reply(SigningLog::append(
        HelperEnvironment::platform(), arguments.value(QStringLiteral("log")), KAuth::HelperSupport::callerUid(), QDateTime::currentDateTime()));
}
