#include "pathtext.h"

#include <algorithm>

namespace {
bool isControlCharacter(QChar character)
{
    const QChar::Category category = character.category();
    return category == QChar::Other_Control || category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
}
}

bool PathText::hasControlCharacter(const QString &path)
{
    return std::any_of(path.cbegin(), path.cend(), isControlCharacter);
}

QString PathText::visible(const QString &path)
{
    QString visible;
    visible.reserve(path.size());
    for (const QChar character : path) {
        visible += isControlCharacter(character) ? QStringLiteral("\\u%1").arg(character.unicode(), 4, 16, QLatin1Char('0')) : QString(character);
    }
    return visible;
}
