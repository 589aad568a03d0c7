#pragma once

#include <KAuth/Action>

#include <QString>

class HelperJob;

// Builds the module's privileged actions and runs them through the current backend.
class HelperCall
{
public:
    // Helper ids, which are also the namespaces of the action names.
    static const QString DigsigNamespace; // "ru.orlis.kcm.digsig"
    static const QString SecuritySettingsNamespace; // "ru.orlis.kcm.securitysettings"

    // KAuth's default, used by actions that set none.
    static constexpr int DefaultTimeout = -1;

    // An action named after the pattern ("%1.change") filled with the namespace, whose
    // helper id is the namespace itself.
    static KAuth::Action action(const QString &namePattern, const QString &helperNamespace, int timeout = DefaultTimeout);

    // The job of the action in execute mode, not yet started.
    static HelperJob *execute(const KAuth::Action &action);
    // The same for an action that may hold its helper for minutes or more: until the job
    // ends, HelperActivity reports the helper busy with the description. It is watched by
    // its progress records (HelperJob::LongActionSilenceLimit), not by its timeout.
    static HelperJob *executeLong(const KAuth::Action &action, const QString &description);
};
