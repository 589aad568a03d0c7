#pragma once

#include <KAuth/ActionReply>

#include <QObject>
#include <QVariantMap>

class HelperResult;

/**
 * The privileged helper "ru.orlis.kcm.digsig". Each slot is one action; the work is done by
 * the helper library, this class only picks the operation from the arguments and turns
 * its result into a reply. Only the signing action looks for a stop request (which runs
 * the event loop); the others never process events, so a second caller waits in the bus
 * queue instead of getting a "busy" answer.
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

private:
    static KAuth::ActionReply reply(const HelperResult &result);
    static KAuth::ActionReply refuse(const QString &error);
    /** The one argument of @p choices present in @p arguments; empty when none or several are. */
    static QString chosenOperation(const QVariantMap &arguments, const QStringList &choices);
};
