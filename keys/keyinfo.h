#pragma once

#include <QString>

// User id and fingerprint of one signing key of the administrator key ring.
class KeyInfo
{
public:
    KeyInfo(const QString &userId, const QString &fingerPrint);

    QString userId() const;
    QString fingerPrint() const;

private:
    QString m_userId;
    QString m_fingerPrint;
};
