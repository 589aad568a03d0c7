#pragma once

#include "fakehelperjob.h"
#include "helperbackend.h"

#include <QPointer>
#include <QVariantMap>

#include <functional>

// Scripts the privileged helpers for a test and records every action asked for.
// Installs itself while it lives and then gives the place back to the backend before it.
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

    FakeHelperBackend();
    ~FakeHelperBackend() override;

    HelperJob *execute(const KAuth::Action &action) override;

    // The script for an action name; a call with no script succeeds with an empty reply.
    void script(const QString &actionName, const HelperScript &script);
    // A script chosen per call, for answers that depend on the arguments.
    void script(const QString &actionName, const std::function<HelperScript(const QVariantMap &)> &scriptForArguments);

    QList<Call> calls() const;
    QStringList callNames() const;
    // The calls of one action whose arguments hold the given key.
    QList<Call> callsWith(const QString &actionName, const QString &argument) const;
    QList<QPointer<FakeHelperJob>> jobs() const;
    void clearCalls();

private:
    HelperBackend *m_previous;
    QHash<QString, std::function<HelperScript(const QVariantMap &)>> m_scripts;
    QList<Call> m_calls;
    QList<QPointer<FakeHelperJob>> m_jobs;
};
