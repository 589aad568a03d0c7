#pragma once

#include "bsignreport.h"

#include <QProcess>
#include <QTimer>

// One "bsign -w <file>" as root: started by absolute path without a shell, in a process
// group of its own, so that stopping it also ends whatever it started; killed when its
// time is up. Emits ended() exactly once.
class BsignRun : public QProcess
{
    Q_OBJECT
public:
    // path: as seen inside the checked system; file: where it lies on this machine.
    BsignRun(const QString &path, const QString &file, QObject *parent = nullptr);
    ~BsignRun() override;

    void begin();
    void stop();
    QString path() const;
    // The signatures as bsign reported them; both Unknown when it gave no verdict.
    BsignReport report();

    static constexpr int TimeLimitMilliseconds = 120000;

Q_SIGNALS:
    void ended(BsignRun *run);

protected:
    void setupChildProcess() override;

private:
    void end();

    QString m_path;
    QString m_file;
    QTimer m_timeLimit;
    bool m_ended = false;
};
