#include "fakehelperbackend.h"

#include <KAuth/Action>

FakeHelperBackend::FakeHelperBackend()
    : m_previous(HelperBackend::current())
{
    HelperBackend::setCurrent(this);
}

FakeHelperBackend::~FakeHelperBackend()
{
    HelperBackend::setCurrent(m_previous);
}

HelperJob *FakeHelperBackend::execute(const KAuth::Action &action)
{
    m_calls.append({action.name(), action.helperId(), action.timeout(), action.arguments()});
    const auto scriptFor = m_scripts.value(action.name());
    auto job = new FakeHelperJob(scriptFor ? scriptFor(action.arguments()) : HelperScript());
    m_jobs.append(job);
    return job;
}

void FakeHelperBackend::script(const QString &actionName, const HelperScript &script)
{
    m_scripts.insert(actionName, [script](const QVariantMap &) { return script; });
}

void FakeHelperBackend::script(const QString &actionName, const std::function<HelperScript(const QVariantMap &)> &scriptForArguments)
{
    m_scripts.insert(actionName, scriptForArguments);
}

QList<FakeHelperBackend::Call> FakeHelperBackend::calls() const
{
    return m_calls;
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
    for (const Call &call : m_calls) {
        if (call.name == actionName && call.arguments.contains(argument)) {
            found.append(call);
        }
    }
    return found;
}

QList<QPointer<FakeHelperJob>> FakeHelperBackend::jobs() const
{
    return m_jobs;
}

void FakeHelperBackend::clearCalls()
{
    m_calls.clear();
    m_jobs.clear();
}
