#include "keyinfo.h"

KeyInfo::KeyInfo(const QString &userId, const QString &fingerPrint)
    : m_userId(userId)
    , m_fingerPrint(fingerPrint)
{
}

QString KeyInfo::userId() const
{
    return m_userId;
}

QString KeyInfo::fingerPrint() const
{
    return m_fingerPrint;
}
