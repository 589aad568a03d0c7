#pragma once

#include "keyinfo.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

// The module's gateway to the keys of root's key ring: lists and exports them through the
// privileged helper, imports the vendor's keys and creates new keys with keywright.
class KeyManager : public QObject
{
    Q_OBJECT
public:
    explicit KeyManager(QObject *parent = nullptr);
    // Never waits for a running keywright: it runs as root and is left to finish.
    ~KeyManager() override;

    // The signing keys, sorted by user id; empty when the helper fails.
    QList<KeyInfo> keys() const;

    // Creates a key from "Name-Real", "Name-Email" and "Name-Comment" after the user's
    // authorisation. keywright runs in the background (the user types pass phrases into
    // pinentry meanwhile); its outcome arrives through the signals.
    void keyGeneration(const QMap<QString, QString> &parameters);
    bool isKeyGenerationRunning() const;

    // Test hooks: the program started instead of "pkexec" (it gets the same arguments;
    // an empty name restores pkexec) and the time after which keyGenerationStillRunning()
    // tells that it still runs (a negative value restores 30 s).
    static void setProgramForTesting(const QString &program);
    static void setWaitForTesting(int msecs);

public Q_SLOTS:
    void exportKey(const QString &keyID, const QString &filepath);
    void importZelmarkKeys();

Q_SIGNALS:
    void keyGenerationStarted();
    void keyGenerationEnded(const QString &fingerprint);
    void keyGenerationError(const QString &error);
    // keywright has run for longer than a key usually takes; the wait goes on.
    void keyGenerationStillRunning();
    void keyExported(const QString &keyID, const QString &path);
    void keyExportError(const QString &keyID, QString path, const QString &error);

private:
    bool accessGranted() const;
    void runKeyGenerationProgram(const QStringList &arguments);
    void onProgramFinished(int exitCode, QProcess::ExitStatus status);
    void onProgramError(QProcess::ProcessError error);
    void endKeyGeneration();

    QProcess *m_process = nullptr;
    QTimer m_stillRunningTimer;
};
