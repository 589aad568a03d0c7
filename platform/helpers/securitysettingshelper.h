#pragma once

#include <KAuth/ActionReply>

#include <QObject>
#include <QVariantMap>

/**
 * The shared helper "ru.orlis.kcm.securitysettings". Its "access" action does nothing:
 * reaching it means polkit authorised the caller.
 */
class SecuritySettingsHelper : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    KAuth::ActionReply access(const QVariantMap &arguments);
};
