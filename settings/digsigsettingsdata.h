#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantHash>

// Control of ELF signatures and of signatures in extended attributes. On and Debug
// count as enabled.
enum class ControllMode : int {
    Off = 0,
    On = 1,
    Debug = 2,
    Invalid = 3,
};
Q_DECLARE_METATYPE(ControllMode)

// How the kernel verifies the signatures of an executable file.
enum class VerificationModeId : int {
    Invalid = -1,
    OnlyElf = 0,
    OnlyXattr = 1,
    Fallback = 2,
    Any = 3,
    All = 4,
};
Q_DECLARE_METATYPE(VerificationModeId)

// The signature-control settings of digsig_initramfs.conf and xattr_control, and the
// reader and validator of both files. Reading never fails: every problem becomes one
// line in errorMessages() and the affected field falls back to Invalid or false.
class DigSigSettingsData
{
public:
    DigSigSettingsData();

    ControllMode elfMode() const;
    ControllMode xattrMode() const;
    VerificationModeId verifyMode() const;
    bool ignoreXattrkeys() const;
    bool ignoreGost2001() const;
    QString xattrControlContent() const;
    QStringList errorMessages() const;
    bool isElfModeEnabled() const;
    bool isXattrModeEnabled() const;

    void setElfMode(ControllMode mode);
    void setXattrMode(ControllMode mode);
    void setVerifyMode(VerificationModeId mode);
    void setIgnoreXattrKeys(bool ignore);
    void setIgnoreGost2001(bool ignore);
    void setXattrControlContent(const QString &content);
    void setErrorMessages(const QStringList &messages);

    static ControllMode controlModeByString(const QString &name);
    static QString controlModeNameById(ControllMode mode);
    static VerificationModeId verifyModeByName(const QString &name);
    static QString verifyModeNameById(VerificationModeId mode);

    // Reads both files; their messages pile up in that order.
    // The record as the "change_digsig" argument of the settings action: all six keys.
    QVariantHash changeArguments() const;

    void analysis();
    void parseInitfamfs();
    void parseXattrControl();

    static QString configurationDirectory();
    // Only tests use this, to read temporary files instead of the system's.
    static void setConfigurationDirectory(const QString &dir);
    static QString initramfsConfPath();
    static QString xattrControlPath();

    static const QStringList m_initramfsAttributes;

private:
    void appendError(const QString &message);
    void applySettingValues(const QHash<QString, QString> &values);

    ControllMode m_elfMode = ControllMode::Invalid;
    ControllMode m_xattrMode = ControllMode::Invalid;
    VerificationModeId m_verifyMode = VerificationModeId::Invalid;
    bool m_ignoreXattrKeys = false;
    bool m_ignoreGost2001 = false;
    QString m_xattrControlContent;
    QStringList m_errorMessages;
};
