#pragma once

#include <QByteArray>
#include <QString>

/** Detached OpenPGP signatures made and checked by the stock gpg, in root's key ring. */
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

    /** A binary detached signature of the file made with exactly @p keyId. */
    static QByteArray sign(const QString &path, const QString &keyId, SignFailure *failure);
    static Verdict verify(const QString &path, const QByteArray &signature);

private:
    static QString gpgProgram();
};
