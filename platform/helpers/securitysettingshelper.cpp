#include "securitysettingshelper.h"

KAuth::ActionReply SecuritySettingsHelper::access(const QVariantMap &arguments)
{
    Q_UNUSED(arguments)
    return KAuth::ActionReply::SuccessReply();
}
