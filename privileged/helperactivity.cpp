#include "helperactivity.h"

#include "helperjob.h"

#include <algorithm>

HelperActivity::HelperActivity(QObject *parent)
    : QObject(parent)
{
}

HelperActivity *HelperActivity::instance()
{
    static HelperActivity activity;
    return &activity;
}

void HelperActivity::trackLongAction(HelperJob *job, const QString &helperId, const QString &description)
{
    add(m_longActions, job, helperId, description);
}

void HelperActivity::noteCall(HelperJob *job, const QString &helperId)
{
    if (isBusy(helperId)) {
        add(m_waitingCalls, job, helperId, QString());
    }
}

void HelperActivity::add(HelperActivityEntries &entries, HelperJob *job, const QString &helperId, const QString &description)
{
    entries.append(Entry {job, helperId, description});
    connect(job, &KJob::finished, this, [this, job]() { forget(job); });
    connect(job, &QObject::destroyed, this, [this, job]() { forget(job); });
    Q_EMIT changed(helperId);
}

void HelperActivity::forget(QObject *job)
{
    const auto isJob = [job](const Entry &entry) { return entry.job == job; };
    QString helperId;
    for (HelperActivityEntries *entries : {&m_longActions, &m_waitingCalls}) {
        const auto found = std::find_if(entries->begin(), entries->end(), isJob);
        if (found != entries->end()) {
            helperId = found->helperId;
            entries->erase(found);
        }
    }
    if (helperId.isEmpty()) {
        return;
    }
    disconnect(job, nullptr, this, nullptr);
    if (!isBusy(helperId)) {
        // The calls that waited now reach the helper: they wait no longer.
        for (auto it = m_waitingCalls.begin(); it != m_waitingCalls.end();) {
            if (it->helperId == helperId) {
                disconnect(it->job, nullptr, this, nullptr);
                it = m_waitingCalls.erase(it);
            } else {
                ++it;
            }
        }
    }
    Q_EMIT changed(helperId);
}

bool HelperActivity::isBusy(const QString &helperId) const
{
    return std::any_of(m_longActions.cbegin(), m_longActions.cend(), [&helperId](const Entry &entry) { return entry.helperId == helperId; });
}

QString HelperActivity::description(const QString &helperId) const
{
    for (auto it = m_longActions.crbegin(); it != m_longActions.crend(); ++it) {
        if (it->helperId == helperId) {
            return it->description;
        }
    }
    return QString();
}

int HelperActivity::waitingCalls(const QString &helperId) const
{
    return std::count_if(m_waitingCalls.cbegin(), m_waitingCalls.cend(), [&helperId](const Entry &entry) { return entry.helperId == helperId; });
}
