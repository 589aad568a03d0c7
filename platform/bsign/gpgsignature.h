#pragma once

#include <QByteArray>
#include <QString>

/**
 * Detached OpenPGP signatures made and checked by the stock gpg, in root's key ring, over
 * the bytes of an open descriptor. Every gpg run has a time limit.
 */
class GpgSignature
{
public:
    struct Verdict
    {
        bool good = false;
        QString signer;
        qint64 timestamp = -1;
        QString hashAlgorithm;
    };

    enum SignFailure { NoFailure, UnknownKey, SigningFailed };

    /** Signing may wait for a pass phrase typed into pinentry. */
    static constexpr int SignMilliseconds = 110000;
    static constexpr int VerifyMilliseconds = 30000;

    /** A binary detached signature of the file open as @p fd made with exactly @p keyId. */
    static QByteArray sign(int fd, const QString &keyId, SignFailure *failure);
    static Verdict verify(int fd, const QByteArray &signature);

private:
    static QString gpgProgram();
};
