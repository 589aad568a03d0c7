#pragma once

#include "helperjob.h"

#include <QList>
#include <QString>
#include <QTimer>
#include <QVariantMap>

// What a scripted helper does for one action.
struct HelperScript
{
    int error = 0;
    QString errorText;
    QVariantMap reply;
    QList<QVariantMap> progress;
    bool neverFinishes = false;
};

// Plays a script from the event loop: its progress records, then its result. A kill ends
// it at once with KJob::KilledJobError.
class FakeHelperJob : public HelperJob
{
    Q_OBJECT
public:
    explicit FakeHelperJob(const HelperScript &script, QObject *parent = nullptr)
        : HelperJob(parent)
        , m_script(script)
    {
    }

    void start() override { QTimer::singleShot(0, this, &FakeHelperJob::play); }
    bool wasKilled() const { return m_killed; }

protected:
    bool doKill() override { return m_killed = true; }

private:
    void play();

    HelperScript m_script;
    bool m_killed = false;
};
