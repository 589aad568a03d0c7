#pragma once

#include <QPersistentModelIndex>
#include <QProcess>

// Checks the signatures of one file by running "pkexec bsign -w <path>" once, and reads
// the tool's report. Whoever creates it listens to QProcess::finished and errorOccurred.
class Bsign : public QProcess
{
    Q_OBJECT
public:
    enum SignMode {
        ElfOnly = 0,
        XattrOnly = 1,
        ElfAndXattr = 2,
    };

    // The bsign exit codes themselves, plus UnknownError for everything else.
    enum ReturnValue {
        NoError = 0,
        PermissionDenied = 1,
        FileNotFound = 2,
        NoMemory = 12,
        IsDirectory = 21,
        InvalidArgument = 22,
        TooManyOpenFiles = 24,
        FileBusy = 26,
        NoSpaceOnDevice = 28,
        NameTooLong = 36,
        NoHashFound = 64,
        NoSignatureFound = 65,
        BadHashFound = 66,
        BadSignatureFound = 67,
        UnsupportedFileType = 68,
        BadPassPhrase = 69,
        RewriteFailed = 70,
        WritableByOthers = 71,
        UnknownError = 1001,
    };
    Q_ENUM(ReturnValue)

    struct VerificationResult
    {
        bool elfGood = false;
        QString elfInfo;
        bool xattrGood = false;
        QString xattrInfo;
        // A signature is there but does not verify (tampered file, unknown key).
        bool elfBad = false;
        bool xattrBad = false;
        // The key of the signature the report details; empty when none is named.
        QString keyId;
    };

    explicit Bsign(QObject *parent = nullptr);
    Bsign(const QPersistentModelIndex &index, const QString &path, QObject *parent = nullptr);

    QPersistentModelIndex index() const;
    QString path() const;
    void setIndex(const QPersistentModelIndex &index);

    // True when bsign ended normally with one of its verdict codes (good, no signature or
    // hash, bad signature or hash); anything else says nothing about the signatures.
    bool hasVerdict() const;

    // Consumes the standard output: call it once, after finished(). Without a verdict both
    // signatures read as not good, without descriptions.
    VerificationResult verificationResult();

    QString signingInfo(const QString &output) const;
    QString extractKeyId(const QString &output) const;
    QString extractTimestamp(const QString &output) const;
    // Returns the algorithm; the hash value, broken in two lines, goes to hashValue.
    QString extractHashAlgorithmAndValue(const QString &output, QString &hashValue) const;
    QString extractSignature(const QString &output) const;

    ReturnValue exitCodeToReturnValue(int exitCode) const;
    static QString returnValueToString(ReturnValue value);

    // Makes "Bsign::ReturnValue" usable in queued connections; the constructors call it.
    static void registerMetaTypes();

public Q_SLOTS:
    void verify();

private:
    QPersistentModelIndex m_index;
    QString m_path;
};
