#pragma once

#include <QString>

// File names as text: a name may hold line breaks and other control characters, which must
// neither start a line of their own in a list or report nor vanish from what is shown.
class PathText
{
public:
    // Control characters, and the line and paragraph separators U+2028 and U+2029.
    static bool hasControlCharacter(const QString &path);
    // The name with each such character written as \uXXXX.
    static QString visible(const QString &path);
};
