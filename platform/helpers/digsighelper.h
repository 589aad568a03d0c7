#pragma once

#include <KAuth/ActionReply>

#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>

class HelperResult;

/**
 * The privileged helper "ru.orlis.kcm.digsig". Each slot is one action; the work is done by
 * the helper library, this class only picks the operation from the arguments and turns
 * its result into a reply. Only the signing action looks for a stop request (which runs
 * the event loop); the others never process events, so a second caller waits in the bus
 * queue instead of getting a "busy" answer.
 *
 * A caller may send a per-call id ("call_id"); every progress record and reply of the call
 * carries it back, so that the caller tells its own answers from those of other callers of
 * the same action, which KAuth broadcasts to all of them. The long actions (signing, the
 * boot-list update) send a "heartbeat" record whenever they had nothing else to say for
 * HeartbeatMilliseconds.
 */
class DigsigHelper : public QObject
{
    Q_OBJECT
public:
    DigsigHelper();

public Q_SLOTS:
    KAuth::ActionReply change(const QVariantMap &arguments);
    KAuth::ActionReply setupsigning(const QVariantMap &arguments);
    KAuth::ActionReply keyslist(const QVariantMap &arguments);
    KAuth::ActionReply exportkey(const QVariantMap &arguments);
    KAuth::ActionReply logging(const QVariantMap &arguments);

public:
    static constexpr int HeartbeatMilliseconds = 5000;

private:
    KAuth::ActionReply reply(const HelperResult &result) const;
    KAuth::ActionReply refuse(const QString &error) const;
    /** Keeps the call's id; false when the caller sent one that is not a short token. */
    bool takeCallId(const QVariantMap &arguments);
    KAuth::ActionReply refuseCallId() const;
    void sendProgress(const QVariantMap &record);
    /** A heartbeat record when the caller heard nothing for HeartbeatMilliseconds. */
    void beat();
    bool stopRequested();
    /** The one argument of @p choices present in @p arguments; empty when none or several are. */
    static QString chosenOperation(const QVariantMap &arguments, const QStringList &choices);

    QString m_callId;
    QElapsedTimer m_sinceRecord;
};
