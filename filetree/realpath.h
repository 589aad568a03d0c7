#pragma once

#include <QString>

// Root refuses every path with a link in it, so the module hands root the real path of
// what the user sees: /bin/true on a merged-/usr system is checked and signed as
// /usr/bin/true. Resolution happens as the user; a link planted afterwards is still
// refused by root, never followed.
class RealPath
{
public:
    // The real path of the longest prefix of path that resolves, followed by the rest of
    // path as it stands; path itself, cleaned, when not even "/" resolves.
    static QString resolve(const QString &path);

    // True when path is root itself or lies below it.
    static bool isWithin(const QString &path, const QString &root);
};
