#include "digsigsettingsdata.h"

#include <KLocalizedString>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTextStream>

namespace {
const char HelperDomain[] = "orlis_kcm_digsig_helper";

QString &configurationDirectoryStorage()
{
    static QString dir = QStringLiteral("/etc/digsig");
    return dir;
}

const QRegularExpression &lineRule()
{
    static const QRegularExpression rule(QStringLiteral("^([[:space:]]*|[[:space:]]*#.*|[[:space:]]*[_A-Z\\d]+=\\d+[[:space:]]*)$"));
    return rule;
}

const QRegularExpression &settingRule()
{
    static const QRegularExpression rule(QStringLiteral("^[[:space:]]*(?<key>[_A-Z\\d]+)=(?<value>\\d+)[[:space:]]*$"));
    return rule;
}

// Maps the exact texts "0".."max" to their numbers; anything else to -1.
int smallNumber(const QString &text, int max)
{
    for (int number = 0; number <= max; ++number) {
        if (text == QString::number(number)) {
            return number;
        }
    }
    return -1;
}

void registerMetaTypes()
{
    static const int controllModeId = qRegisterMetaType<ControllMode>("ControllMode");
    Q_UNUSED(controllModeId)
}
}

const QStringList DigSigSettingsData::m_initramfsAttributes = {
    QStringLiteral("DIGSIG_ELF_MODE"),
    QStringLiteral("DIGSIG_XATTR_MODE"),
    QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"),
    QStringLiteral("DIGSIG_IGNORE_GOST2001"),
    QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"),
};

DigSigSettingsData::DigSigSettingsData()
{
    registerMetaTypes();
}

ControllMode DigSigSettingsData::elfMode() const
{
    return m_elfMode;
}

ControllMode DigSigSettingsData::xattrMode() const
{
    return m_xattrMode;
}

VerificationModeId DigSigSettingsData::verifyMode() const
{
    return m_verifyMode;
}

bool DigSigSettingsData::ignoreXattrkeys() const
{
    return m_ignoreXattrKeys;
}

bool DigSigSettingsData::ignoreGost2001() const
{
    return m_ignoreGost2001;
}

QString DigSigSettingsData::xattrControlContent() const
{
    return m_xattrControlContent;
}

QStringList DigSigSettingsData::errorMessages() const
{
    return m_errorMessages;
}

bool DigSigSettingsData::isElfModeEnabled() const
{
    return m_elfMode == ControllMode::On || m_elfMode == ControllMode::Debug;
}

bool DigSigSettingsData::isXattrModeEnabled() const
{
    return m_xattrMode == ControllMode::On || m_xattrMode == ControllMode::Debug;
}

void DigSigSettingsData::setElfMode(ControllMode mode)
{
    m_elfMode = mode;
}

void DigSigSettingsData::setXattrMode(ControllMode mode)
{
    m_xattrMode = mode;
}

void DigSigSettingsData::setVerifyMode(VerificationModeId mode)
{
    m_verifyMode = mode;
}

void DigSigSettingsData::setIgnoreXattrKeys(bool ignore)
{
    m_ignoreXattrKeys = ignore;
}

void DigSigSettingsData::setIgnoreGost2001(bool ignore)
{
    m_ignoreGost2001 = ignore;
}

void DigSigSettingsData::setXattrControlContent(const QString &content)
{
    m_xattrControlContent = content;
}

void DigSigSettingsData::setErrorMessages(const QStringList &messages)
{
    m_errorMessages = messages;
}

ControllMode DigSigSettingsData::controlModeByString(const QString &name)
{
    if (name == QLatin1String("Off")) {
        return ControllMode::Off;
    }
    if (name == QLatin1String("On")) {
        return ControllMode::On;
    }
    if (name == QLatin1String("Debug")) {
        return ControllMode::Debug;
    }
    return ControllMode::Invalid;
}

QString DigSigSettingsData::controlModeNameById(ControllMode mode)
{
    switch (mode) {
    case ControllMode::Off:
        return QStringLiteral("Off");
    case ControllMode::On:
        return QStringLiteral("On");
    case ControllMode::Debug:
        return QStringLiteral("Debug");
    default:
        return QString();
    }
}

VerificationModeId DigSigSettingsData::verifyModeByName(const QString &name)
{
    static const QStringList names = {
        QStringLiteral("ONLY_ELF"),
        QStringLiteral("ONLY_XATTR"),
        QStringLiteral("FALLBACK"),
        QStringLiteral("ANY"),
        QStringLiteral("ALL"),
    };
    return static_cast<VerificationModeId>(names.indexOf(name));
}

QString DigSigSettingsData::verifyModeNameById(VerificationModeId mode)
{
    switch (mode) {
    case VerificationModeId::OnlyElf:
        return QStringLiteral("ONLY_ELF");
    case VerificationModeId::OnlyXattr:
        return QStringLiteral("ONLY_XATTR");
    case VerificationModeId::Fallback:
        return QStringLiteral("FALLBACK");
    case VerificationModeId::Any:
        return QStringLiteral("ANY");
    case VerificationModeId::All:
        return QStringLiteral("ALL");
    default:
        return QString();
    }
}

QVariantHash DigSigSettingsData::changeArguments() const
{
    return {
        {QStringLiteral("DIGSIG_ELF_MODE"), static_cast<int>(m_elfMode)},
        {QStringLiteral("DIGSIG_XATTR_MODE"), static_cast<int>(m_xattrMode)},
        {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), m_ignoreXattrKeys ? 1 : 0},
        {QStringLiteral("DIGSIG_IGNORE_GOST2001"), m_ignoreGost2001 ? 1 : 0},
        {QStringLiteral("DIGSIG_XATTR_CONTROL"), m_xattrControlContent},
        {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), static_cast<int>(m_verifyMode)},
    };
}

void DigSigSettingsData::analysis()
{
    parseInitfamfs();
    parseXattrControl();
}

void DigSigSettingsData::parseInitfamfs()
{
    const QString path = initramfsConfPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        appendError(i18nd(HelperDomain, "Can not open file %1", path));
        return;
    }

    QHash<QString, QString> values;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (!lineRule().match(line).hasMatch()) {
            appendError(i18nd(HelperDomain, "file %1 has invalid line: %2", path, line));
            continue;
        }
        const QRegularExpressionMatch setting = settingRule().match(line);
        if (!setting.hasMatch()) {
            continue; // blank line or comment
        }
        const QString key = setting.captured(QStringLiteral("key"));
        if (m_initramfsAttributes.contains(key)) {
            values.insert(key, setting.captured(QStringLiteral("value")));
        } else {
            appendError(i18nd(HelperDomain, "file %1 contains invalid key: %2", path, key));
        }
    }

    for (const QString &key : m_initramfsAttributes) {
        if (!values.contains(key)) {
            appendError(i18nd(HelperDomain, "file %1 does not contain the required option %2", path, key));
        }
    }
    applySettingValues(values);
}

void DigSigSettingsData::applySettingValues(const QHash<QString, QString> &values)
{
    const QString elfText = values.value(QStringLiteral("DIGSIG_ELF_MODE"));
    const int elf = smallNumber(elfText, 2);
    m_elfMode = elf < 0 ? ControllMode::Invalid : static_cast<ControllMode>(elf);
    if (elf < 0) {
        appendError(i18nd(HelperDomain, "DIGSIG_ELF_MODE value \"%1\" is invalid", elfText));
    }

    const QString xattrText = values.value(QStringLiteral("DIGSIG_XATTR_MODE"));
    const int xattr = smallNumber(xattrText, 2);
    m_xattrMode = xattr < 0 ? ControllMode::Invalid : static_cast<ControllMode>(xattr);
    if (xattr < 0) {
        appendError(i18nd(HelperDomain, "DIGSIG_XATTR_MODE value \"%1\" is invalid", xattrText));
    }

    const QString ignoreKeysText = values.value(QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"));
    const int ignoreKeys = smallNumber(ignoreKeysText, 1);
    m_ignoreXattrKeys = ignoreKeys == 1;
    if (ignoreKeys < 0) {
        appendError(i18nd(HelperDomain, "DIGSIG_IGNORE_XATTR_KEYS value \"%1\" is invalid", ignoreKeysText));
    }

    const QString ignoreGostText = values.value(QStringLiteral("DIGSIG_IGNORE_GOST2001"));
    const int ignoreGost = smallNumber(ignoreGostText, 1);
    m_ignoreGost2001 = ignoreGost == 1;
    if (ignoreGost < 0) {
        appendError(i18nd(HelperDomain, "DIGSIG_IGNORE_GOST2001 value \"%1\" is invalid", ignoreGostText));
    }

    const QString verifyText = values.value(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"));
    const int verify = smallNumber(verifyText, 4);
    m_verifyMode = static_cast<VerificationModeId>(verify);
    if (verify < 0) {
        appendError(QCoreApplication::translate("DigSigSettingsData", "DIGSIG_ELF_VERIFICATION_MODE value \"%1\" is invalid").arg(verifyText));
    }
}

void DigSigSettingsData::parseXattrControl()
{
    const QString path = xattrControlPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        appendError(i18nd(HelperDomain, "Can not open file %1", path));
        return;
    }
    QByteArray content = file.readAll();
    const int nul = content.indexOf('\0');
    if (nul >= 0) {
        content.truncate(nul);
    }
    m_xattrControlContent = QString::fromUtf8(content);
}

QString DigSigSettingsData::configurationDirectory()
{
    return configurationDirectoryStorage();
}

void DigSigSettingsData::setConfigurationDirectory(const QString &dir)
{
    configurationDirectoryStorage() = dir;
}

QString DigSigSettingsData::initramfsConfPath()
{
    return configurationDirectory() + QStringLiteral("/digsig_initramfs.conf");
}

QString DigSigSettingsData::xattrControlPath()
{
    return configurationDirectory() + QStringLiteral("/xattr_control");
}

void DigSigSettingsData::appendError(const QString &message)
{
    m_errorMessages.append(message);
}
