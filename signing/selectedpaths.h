#pragma once

#include <QHash>
#include <QString>

#include <unordered_map>

// Hashes paths the way Qt's own containers do.
struct PathHash
{
    std::size_t operator()(const QString &path) const noexcept { return qHash(path); }
};

// The ticked entries of the signing tab: absolute path to "is a directory".
using SelectedPaths = std::unordered_map<QString, bool, PathHash>;
