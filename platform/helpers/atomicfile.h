#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

/**
 * Replaces a file as a whole: readers see either the old or the new content, and a failed
 * or interrupted write leaves the old file in place.
 */
class AtomicFile
{
public:
    /** Writes @p content to @p path with @p permissions; returns an error text, empty on success. */
    static QString write(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions);

    /** rw-r--r--, the mode of the configuration files. */
    static QFileDevice::Permissions publicReadable();
};
