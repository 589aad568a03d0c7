#include "argumentcheck.h"

#include <QDir>

bool ArgumentCheck::integerValue(const QVariant &value, qint64 *result)
{
    switch (static_cast<QMetaType::Type>(value.userType())) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
        *result = value.toLongLong();
        return true;
    case QMetaType::ULongLong:
        if (value.toULongLong() > static_cast<qulonglong>(std::numeric_limits<qint64>::max())) {
            return false;
        }
        *result = value.toLongLong();
        return true;
    default:
        return false;
    }
}

bool ArgumentCheck::textValue(const QVariant &value, QString *result)
{
    if (value.userType() != QMetaType::QString) {
        return false;
    }
    *result = value.toString();
    return true;
}

bool ArgumentCheck::textListValue(const QVariant &value, QStringList *result)
{
    if (value.userType() == QMetaType::QStringList) {
        *result = value.toStringList();
        return true;
    }
    if (value.userType() != QMetaType::QVariantList) {
        return false;
    }
    QStringList texts;
    const QVariantList items = value.toList();
    texts.reserve(items.size());
    for (const QVariant &item : items) {
        QString text;
        if (!textValue(item, &text)) {
            return false;
        }
        texts.append(text);
    }
    *result = texts;
    return true;
}

QString ArgumentCheck::absolutePathProblem(const QString &path)
{
    if (path.isEmpty()) {
        return QStringLiteral("the path is empty");
    }
    if (path.size() > MaxPathLength) {
        return QStringLiteral("the path is longer than %1 characters").arg(MaxPathLength);
    }
    if (path.contains(QChar(0))) {
        return QStringLiteral("the path contains a NUL character");
    }
    if (!path.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("the path \"%1\" is not absolute").arg(path);
    }
    if (QDir::cleanPath(path) != path) {
        return QStringLiteral("the path \"%1\" is not normalised (\".\", \"..\" or doubled slashes)").arg(path);
    }
    return QString();
}

QString ArgumentCheck::controlCharacterProblem(const QString &text)
{
    for (const QChar character : text) {
        const QChar::Category category = character.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            return QStringLiteral("the path contains the control character U+%1").arg(character.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    return QString();
}
