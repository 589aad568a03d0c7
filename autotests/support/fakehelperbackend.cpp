#include "fakehelperbackend.h"

#include <KAuth/Action>

void FakeHelperJob::play()
{
    for (const QVariantMap &record : qAsConst(m_script.progress)) {
        if (m_killed) {
            return;
        }
        Q_EMIT newData(record);
    }
    if (m_killed || m_script.neverFinishes) {
        return;
    }
    setError(m_script.error);
    setErrorText(m_script.errorText);
    if (m_script.error == 0) {
        setData(m_script.reply);
    }
    emitResult();
}

HelperJob *FakeHelperBackend::execute(const KAuth::Action &action)
{
    m_calls.append({action.name(), action.helperId(), action.timeout(), action.arguments()});
    const auto scriptFor = m_scripts.value(action.name());
    m_jobs.append(new FakeHelperJob(scriptFor ? scriptFor(action.arguments()) : HelperScript()));
    return m_jobs.constLast();
}

QStringList FakeHelperBackend::callNames() const
{
    QStringList names;
    for (const Call &call : m_calls) {
        names.append(call.name);
    }
    return names;
}

QList<FakeHelperBackend::Call> FakeHelperBackend::callsWith(const QString &actionName, const QString &argument) const
{
    QList<Call> found;
    std::copy_if(m_calls.cbegin(), m_calls.cend(), std::back_inserter(found),
        [&](const Call &call) { return call.name == actionName && call.arguments.contains(argument); });
    return found;
}
