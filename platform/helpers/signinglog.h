#pragma once

#include "helperresult.h"

#include <QDateTime>
#include <QVariant>

class HelperEnvironment;

/**
 * The "logging" action: appends the lines of a signing run to the signing log under a
 * header with the date and the caller's user id. Every line is indented and control and
 * format characters (bidirectional overrides among them) are escaped, so no text can pass
 * for a header or a line of its own, or show other than it is.
 */
class SigningLog
{
public:
    static constexpr int MaxLines = 100000;
    static constexpr int MaxBytes = 16 * 1024 * 1024;
    /** Size past which the log is moved aside to "<log>.1" and started afresh. */
    static constexpr qint64 MaxLogBytes = 32 * 1024 * 1024;

    static HelperResult append(const HelperEnvironment &environment, const QVariant &lines, int callerUid, const QDateTime &now);

    /** The text appended for @p lines. */
    static QByteArray entry(const QStringList &lines, int callerUid, const QDateTime &now);

    /** @p line with line breaks, other control characters and format characters written as escapes. */
    static QString escaped(const QString &line);
};
