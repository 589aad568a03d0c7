#pragma once

#include "fakehelperjob.h"

// Scripts of the fake helper backend in one expression: the progress records, then a reply,
// or an error (0: none) with its text.
inline HelperScript replying(const QVariantMap &reply, const QList<QVariantMap> &progress = {})
{
    HelperScript script;
    script.reply = reply;
    script.progress = progress;
    return script;
}

inline HelperScript failing(int error, const QString &text, const QList<QVariantMap> &progress = {})
{
    HelperScript script = replying({}, progress);
    script.error = error;
    script.errorText = error ? text : QString();
    return script;
}
