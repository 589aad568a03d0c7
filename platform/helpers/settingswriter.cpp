#include "settingswriter.h"

#include "argumentcheck.h"
#include "atomicfile.h"
#include "helperenvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

namespace {
const QString elfModeKey = QStringLiteral("DIGSIG_ELF_MODE");
const QString xattrModeKey = QStringLiteral("DIGSIG_XATTR_MODE");
const QString ignoreXattrKeysKey = QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS");
const QString ignoreGost2001Key = QStringLiteral("DIGSIG_IGNORE_GOST2001");
const QString xattrControlKey = QStringLiteral("DIGSIG_XATTR_CONTROL");
const QString verificationModeKey = QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE");
const qint64 keepCurrentVerificationMode = -1;

struct IntegerRule
{
    QString key;
    qint64 minimum;
    qint64 maximum;
};

const QList<IntegerRule> &integerRules()
{
    static const QList<IntegerRule> rules {
        {elfModeKey, 0, 2},
        {xattrModeKey, 0, 2},
        {ignoreXattrKeysKey, 0, 1},
        {ignoreGost2001Key, 0, 1},
        {verificationModeKey, keepCurrentVerificationMode, 4},
    };
    return rules;
}

QVariantMap settingsMap(const QVariant &settings, bool *ok)
{
    *ok = true;
    if (settings.userType() == QMetaType::QVariantHash) {
        const QVariantHash hash = settings.toHash();
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it) {
            map.insert(it.key(), it.value());
        }
        return map;
    }
    if (settings.userType() == QMetaType::QVariantMap) {
        return settings.toMap();
    }
    *ok = false;
    return {};
}

QString checkTemplateText(const QVariant &value, QString *text)
{
    if (!ArgumentCheck::textValue(value, text)) {
        return QStringLiteral("%1 must be a text").arg(xattrControlKey);
    }
    if (text->contains(QChar(0))) {
        return QStringLiteral("%1 contains a NUL character").arg(xattrControlKey);
    }
    if (text->toUtf8().size() > SettingsWriter::MaxTemplateBytes) {
        return QStringLiteral("%1 is larger than %2 bytes").arg(xattrControlKey).arg(SettingsWriter::MaxTemplateBytes);
    }
    return QString();
}

QString checkSettings(const QVariantMap &settings, QList<QPair<QString, QString>> *values, QString *templateText)
{
    QStringList known {xattrControlKey};
    for (const IntegerRule &rule : integerRules()) {
        known.append(rule.key);
        if (!settings.contains(rule.key)) {
            return QStringLiteral("The setting %1 is missing").arg(rule.key);
        }
        qint64 number = 0;
        if (!ArgumentCheck::integerValue(settings.value(rule.key), &number)) {
            return QStringLiteral("The setting %1 must be an integer").arg(rule.key);
        }
        if (number < rule.minimum || number > rule.maximum) {
            return QStringLiteral("The setting %1 is %2, outside %3 to %4").arg(rule.key).arg(number).arg(rule.minimum).arg(rule.maximum);
        }
        if (!(rule.key == verificationModeKey && number == keepCurrentVerificationMode)) {
            values->append({rule.key, QString::number(number)});
        }
    }
    if (!settings.contains(xattrControlKey)) {
        return QStringLiteral("The setting %1 is missing").arg(xattrControlKey);
    }
    const QString templateProblem = checkTemplateText(settings.value(xattrControlKey), templateText);
    if (!templateProblem.isEmpty()) {
        return templateProblem;
    }
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        if (!known.contains(it.key())) {
            return QStringLiteral("Unknown setting %1").arg(it.key().left(64));
        }
    }
    return QString();
}

QString ensureDirectory(const QString &path)
{
    if (QFileInfo(path).isDir()) {
        return QString();
    }
    if (!QDir().mkpath(path)) {
        return QStringLiteral("Can not create directory %1").arg(path);
    }
    QFile::setPermissions(path, AtomicFile::publicReadable() | QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    return QString();
}

QString readCurrent(const QString &path, QByteArray *content)
{
    QFile file(path);
    if (!file.exists()) {
        return QString();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("Can not open file %1: %2").arg(path, file.errorString());
    }
    *content = file.readAll();
    return QString();
}
}

QByteArray SettingsWriter::mergedSettings(const QByteArray &current, const QList<QPair<QString, QString>> &values)
{
    static const QRegularExpression settingRule(QStringLiteral("^[[:space:]]*(?<key>[_A-Z\\d]+)=(?<value>\\d+)[[:space:]]*$"));
    static const QRegularExpression namedKey(QStringLiteral("^[[:space:]]*(?<key>[^=[:space:]#]+)[[:space:]]*="));

    QHash<QString, QString> newValues;
    for (const auto &value : values) {
        newValues.insert(value.first, value.second);
    }
    QSet<QString> written;
    QByteArray merged;
    QList<QByteArray> lines = current.split('\n');
    if (!lines.isEmpty() && lines.constLast().isEmpty()) {
        lines.removeLast();
    }
    for (const QByteArray &rawLine : qAsConst(lines)) {
        const QString line = QString::fromUtf8(rawLine);
        const QRegularExpressionMatch setting = settingRule.match(line);
        if (setting.hasMatch()) {
            const QString key = setting.captured(QStringLiteral("key"));
            if (newValues.contains(key)) {
                merged += QStringLiteral("%1=%2\n").arg(key, newValues.value(key)).toUtf8();
                written.insert(key);
                continue;
            }
        } else if (newValues.contains(namedKey.match(line).captured(QStringLiteral("key")))) {
            merged += "#" + rawLine + '\n';
            continue;
        }
        merged += rawLine + '\n';
    }
    for (const auto &value : values) {
        if (!written.contains(value.first)) {
            merged += QStringLiteral("%1=%2\n").arg(value.first, value.second).toUtf8();
        }
    }
    return merged;
}

HelperResult SettingsWriter::change(const HelperEnvironment &environment, const QVariant &settings)
{
    bool isMap = false;
    const QVariantMap map = settingsMap(settings, &isMap);
    if (!isMap) {
        return HelperResult::failure(QStringLiteral("The settings must be a map of the six settings"));
    }
    QList<QPair<QString, QString>> values;
    QString templateText;
    const QString problem = checkSettings(map, &values, &templateText);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }

    QString error = ensureDirectory(environment.digsigDir());
    QByteArray current;
    if (error.isEmpty()) {
        error = readCurrent(environment.initramfsConfPath(), &current);
    }
    if (error.isEmpty()) {
        error = AtomicFile::write(environment.initramfsConfPath(), mergedSettings(current, values), AtomicFile::publicReadable());
    }
    if (error.isEmpty()) {
        error = AtomicFile::write(environment.xattrControlPath(), templateText.toUtf8(), AtomicFile::publicReadable());
    }
    return error.isEmpty() ? HelperResult::success() : HelperResult::failure(error);
}
