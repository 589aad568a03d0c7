#pragma once

#include "helperresult.h"

#include <QVariant>

class HelperEnvironment;

/**
 * The "change_digsig" action: checks the six settings a caller sends and writes
 * digsig_initramfs.conf and xattr_control from them.
 */
class SettingsWriter
{
public:
    /** Largest template text accepted, in UTF-8 bytes. */
    static constexpr int MaxTemplateBytes = 1024 * 1024;

    static HelperResult change(const HelperEnvironment &environment, const QVariant &settings);

    /**
     * The settings file rewritten with @p values (key to digits): lines of those keys get
     * the new value, missing keys are appended, comments and other lines stay; a malformed
     * line that still names one of the keys is commented out so nothing else can read it.
     */
    static QByteArray mergedSettings(const QByteArray &current, const QList<QPair<QString, QString>> &values);
};
