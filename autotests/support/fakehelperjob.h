#pragma once

#include "helperjob.h"

#include <QList>
#include <QString>
#include <QVariantMap>

// What a scripted helper does for one action.
struct HelperScript {
    int error = 0;
    QString errorText;
    QVariantMap reply;
    QList<QVariantMap> progress;
    bool neverFinishes = false;
};

// A job that plays a script from the event loop: its progress records in order, then
// its result. A kill ends it at once with KJob::KilledJobError.
class FakeHelperJob : public HelperJob
{
    Q_OBJECT
public:
    explicit FakeHelperJob(const HelperScript &script, QObject *parent = nullptr);

    void start() override;
    bool wasKilled() const;

protected:
    bool doKill() override;

private:
    void play();

    HelperScript m_script;
    bool m_killed = false;
};
