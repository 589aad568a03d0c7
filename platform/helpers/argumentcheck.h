#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

/** Strict checks of the arguments a caller sends to a helper action. */
class ArgumentCheck
{
public:
    /** Longest path accepted anywhere. */
    static constexpr int MaxPathLength = 4096;

    /** True when @p value holds an integer type (not a bool, double or text); stores it. */
    static bool integerValue(const QVariant &value, qint64 *result);
    /** True when @p value holds text; stores it. */
    static bool textValue(const QVariant &value, QString *result);
    /** True when @p value holds a list of texts; stores it. */
    static bool textListValue(const QVariant &value, QStringList *result);

    /**
     * Empty when @p path is an absolute, normalised path (no "." or ".." parts, no doubled
     * or trailing slash), without NUL bytes and of sane length; otherwise what is wrong.
     */
    static QString absolutePathProblem(const QString &path);

    /** Empty when @p text holds no control character, line or paragraph separator. */
    static QString controlCharacterProblem(const QString &text);
};
