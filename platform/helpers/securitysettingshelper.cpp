#include "securitysettingshelper.h"

#include <QRegularExpression>

KAuth::ActionReply SecuritySettingsHelper::access(const QVariantMap &arguments)
{
    // The caller's per-call id comes back with the reply, which KAuth broadcasts to every caller.
    static const QRegularExpression token(QStringLiteral("\\A[0-9A-Za-z-]{1,64}\\z"));
    const QString callId = arguments.value(QStringLiteral("call_id")).toString();
    KAuth::ActionReply reply = KAuth::ActionReply::SuccessReply();
    if (token.match(callId).hasMatch()) {
        reply.setData({{QStringLiteral("call_id"), callId}});
    }
    return reply;
}
