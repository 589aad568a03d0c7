#pragma once

#include <QList>
#include <QObject>
#include <QString>

class HelperJob;

// What the privileged helpers are busy with. A helper runs one action at a time, and some
// actions run for minutes or hours; while such an action holds a helper, the controls that
// need it stay disabled and say why, instead of queueing calls behind it unseen.
class HelperActivity : public QObject
{
    Q_OBJECT
public:
    static HelperActivity *instance();

    // The helper counts as busy with the job, in the user's words, until the job ends or goes.
    void trackLongAction(HelperJob *job, const QString &helperId, const QString &description);
    // A call for a helper that is busy with a long action waits for it; it counts as
    // waiting until it ends or the long action does.
    void noteCall(HelperJob *job, const QString &helperId);

    bool isBusy(const QString &helperId) const;
    // The long action the helper runs; empty while it runs none.
    QString description(const QString &helperId) const;
    int waitingCalls(const QString &helperId) const;

Q_SIGNALS:
    // The helper's long action, or the calls waiting for it, changed.
    void changed(const QString &helperId);

private:
    struct Entry
    {
        QObject *job;
        QString helperId;
        QString description;
    };
    using HelperActivityEntries = QList<Entry>;

    explicit HelperActivity(QObject *parent = nullptr);
    void add(HelperActivityEntries &entries, HelperJob *job, const QString &helperId, const QString &description);
    void forget(QObject *job);

    HelperActivityEntries m_longActions;
    HelperActivityEntries m_waitingCalls;
};
