#pragma once

#include "fakehelperjob.h"
#include "helperbackend.h"

#include <QPointer>
#include <QVariantMap>

#include <functional>

// Scripts the privileged helpers and records every action asked for; installed while it
// lives, then the backend before it is put back.
class FakeHelperBackend : public HelperBackend
{
public:
    struct Call
    {
        QString name;
        QString helperId;
        int timeout;
        QVariantMap arguments;
    };

    FakeHelperBackend()
        : m_previous(HelperBackend::current())
    {
        HelperBackend::setCurrent(this);
    }
    ~FakeHelperBackend() override { HelperBackend::setCurrent(m_previous); }

    HelperJob *execute(const KAuth::Action &action) override;

    // A call with no script succeeds with an empty reply.
    void script(const QString &actionName, const HelperScript &script)
    {
        m_scripts.insert(actionName, [script](const QVariantMap &) { return script; });
    }
    void script(const QString &actionName, const std::function<HelperScript(const QVariantMap &)> &scriptForArguments)
    {
        m_scripts.insert(actionName, scriptForArguments);
    }

    QList<Call> calls() const { return m_calls; }
    QStringList callNames() const;
    // The calls of one action whose arguments hold the given key.
    QList<Call> callsWith(const QString &actionName, const QString &argument) const;
    QList<QPointer<FakeHelperJob>> jobs() const { return m_jobs; }
    void clearCalls()
    {
        m_calls.clear();
        m_jobs.clear();
    }

private:
    HelperBackend *m_previous;
    QHash<QString, std::function<HelperScript(const QVariantMap &)>> m_scripts;
    QList<Call> m_calls;
    QList<QPointer<FakeHelperJob>> m_jobs;
};
