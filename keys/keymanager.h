#pragma once

#include "keyinfo.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

// The module's gateway to the keys of root's key ring: lists and exports them through the
// privileged helper, imports the vendor's keys and creates new keys with keywright.
class KeyManager : public QObject
{
    Q_OBJECT
public:
    explicit KeyManager(QObject *parent = nullptr);

    // The signing keys, sorted by user id; empty when the helper fails.
    QList<KeyInfo> keys() const;

    // Creates a key from "Name-Real", "Name-Email" and "Name-Comment" after the user's
    // authorisation; blocks until keywright ends and reports through the signals.
    void keyGeneration(const QMap<QString, QString> &parameters);

    // Test hooks: the program started instead of "pkexec" (it gets the same arguments;
    // an empty name restores pkexec) and the wait for it (a negative value restores 30 s).
    static void setProgramForTesting(const QString &program);
    static void setWaitForTesting(int msecs);

public Q_SLOTS:
    void exportKey(const QString &keyID, const QString &filepath);
    void importZelmarkKeys();

Q_SIGNALS:
    void keyGenerationStarted();
    void keyGenerationEnded(const QString &fingerprint);
    void keyGenerationError(const QString &error);
    void keyExported(const QString &keyID, const QString &path);
    void keyExportError(const QString &keyID, QString path, const QString &error);

private:
    bool accessGranted() const;
    void runKeyGenerationProgram(const QStringList &arguments);
};
