#pragma once

#include "helperresult.h"

#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>

class BoundedProcess;
class HelperEnvironment;
class QTemporaryFile;

/**
 * The "signing_process" action: signs each file with bsign, one progress record per file,
 * then, for the modes with extended attributes and only when a file was signed, exports the
 * signing key to /etc/digsig/xattr_keys/<fingerprint>.gpg and adds to xattr_control those of
 * the optional "paths" whose files of this run were all signed ("/" never).
 *
 * Only a key the key list offers signs. bsign is started as "bsign --sign --kind
 * elf|xattr|both --key <fingerprint> -- <file>", for files that are regular, reached without
 * a link, on no pseudo file system and changeable by their owner only, several at once, with
 * a time limit per file; a stop request kills every running bsign. Root's pinentry reads a
 * root-owned copy of the caller's X authority file.
 */
class SigningRun
{
public:
    /** Most files one run accepts. */
    static constexpr int MaxFiles = 200000;
    /** Time for one file, pass phrase included. */
    static constexpr int BsignMilliseconds = 120000;

    /** The fingerprint the key list offers for a key id, spelt as listed; empty, with the reason set, for any other key. */
    using KeyLookup = std::function<QString(const QString &keyId, QString *problem)>;

    /** @p callerUid is the caller's user, who must own the X authority file it names. */
    static HelperResult run(const HelperEnvironment &environment,
        const QVariantMap &arguments,
        int callerUid,
        const ProgressCallback &progress,
        const StopCheck &stopped,
        const KeyLookup &offeredKey);

    /** Those of @p paths, other than "/", that hold files of @p files and whose files there are all in @p signedFiles. */
    static QStringList fullySigned(const QStringList &paths, const QStringList &files, const QSet<QString> &signedFiles);

    /**
     * xattr_control with the templates of @p paths added: "/dir/" for a directory, "//file"
     * for a file, looked at without following links; lines are compared as bytes.
     */
    static QByteArray withTemplates(const QByteArray &current, const QStringList &paths);

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
    static QString copyXauthority(const QString &xauthority, int callerUid, QTemporaryFile *copy);
    /** bsign started for @p file, or nullptr when the file was refused and its record sent. */
    static std::unique_ptr<BoundedProcess>
    startBsign(const HelperEnvironment &environment, const Request &request, const QString &file, const ProgressCallback &progress);
    static bool reportBsign(const QString &file, BoundedProcess *bsign, bool timedOut, const ProgressCallback &progress);
    static void exportSigningKey(const HelperEnvironment &environment, const QString &fingerprint, const ProgressCallback &progress);
    static QString addTemplates(const HelperEnvironment &environment, const QStringList &paths);
};
