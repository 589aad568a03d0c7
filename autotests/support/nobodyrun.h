#pragma once

#include <QByteArray>
#include <QStringList>

#include <functional>

// Runs the work in a forked child that, when the test runs as root, drops to the "nobody"
// user first, so that the kernel's own permission checks decide what can be read. Gives the
// lines the work returned and everything the child printed; false when the child failed.
// The child works on a copy of the test's objects and must not open windows.
bool runAsNobody(const std::function<QStringList()> &work, QStringList *lines, QByteArray *printed);

// Files below the root, copies of /bin/true or a line of text, with the given mode; missing
// parent directories are made, readable for everyone.
void putFiles(const QString &root, const QStringList &relatives, bool elf, int mode = 0644);
