#pragma once

#include "helperresult.h"

#include <QStringList>
#include <QVariantMap>

class HelperEnvironment;

/**
 * The "signing_process" action: signs each file with bsign, one progress record per file,
 * then, for the modes with extended attributes, exports the signing key to
 * /etc/digsig/xattr_keys/<fingerprint>.gpg and adds the chosen paths to xattr_control.
 *
 * bsign is started as "bsign --sign --kind elf|xattr|both --key <key id> -- <file>".
 */
class SigningRun
{
public:
    /** Most files one run accepts. */
    static constexpr int MaxFiles = 200000;

    static HelperResult run(const HelperEnvironment &environment, const QVariantMap &arguments, const ProgressCallback &progress, const StopCheck &stopped);

    /** xattr_control with the templates of @p paths added: "/dir/" for a directory, "//file" for a file. */
    static QString withTemplates(const QString &current, const QStringList &paths);

private:
    struct Request
    {
        QStringList files;
        QString keyId;
        int mode = 0;
        QString display;
        QString xauthority;
        QStringList paths;
    };

    static QString parse(const QVariantMap &arguments, Request *request);
    static void signFile(const HelperEnvironment &environment, const Request &request, const QString &file, const ProgressCallback &progress);
    static void exportSigningKey(const HelperEnvironment &environment, const Request &request, const ProgressCallback &progress);
    static QString addTemplates(const HelperEnvironment &environment, const QStringList &paths);
};
