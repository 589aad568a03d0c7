#pragma once

#include "helperresult.h"

#include <QStringList>
#include <QVariantMap>

#include <memory>

class BoundedProcess;
class HelperEnvironment;

/**
 * The "signing_process" action: signs each file with bsign, one progress record per file,
 * then, for the modes with extended attributes, exports the signing key to
 * /etc/digsig/xattr_keys/<fingerprint>.gpg and adds the chosen paths to xattr_control.
 *
 * bsign is started as "bsign --sign --kind elf|xattr|both --key <fingerprint> -- <file>", for
 * files that are regular, reached without a link and on no pseudo file system, several at
 * once, with a time limit per file; a stop request kills every running bsign.
 */
class SigningRun
{
public:
    /** Most files one run accepts. */
    static constexpr int MaxFiles = 200000;
    /** Time for one file, pass phrase included. */
    static constexpr int BsignMilliseconds = 120000;

    /** @p callerUid is the caller's user, who must own the X authority file it names. */
    static HelperResult
    run(const HelperEnvironment &environment, const QVariantMap &arguments, int callerUid, const ProgressCallback &progress, const StopCheck &stopped);

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

    static QString parse(const QVariantMap &arguments, int callerUid, Request *request);
    /** bsign started for @p file, or nullptr when the file was refused and its record sent. */
    static std::unique_ptr<BoundedProcess>
    startBsign(const HelperEnvironment &environment, const Request &request, const QString &file, const ProgressCallback &progress);
    static void reportBsign(const QString &file, BoundedProcess *bsign, bool timedOut, const ProgressCallback &progress);
    static void exportSigningKey(const HelperEnvironment &environment, const Request &request, const ProgressCallback &progress);
    static QString addTemplates(const HelperEnvironment &environment, const QStringList &paths);
};
