#include "keywright.h"

#include "gpgcontrol.h"
#include "gpgmesetup.h"

#include <gpgme++/context.h>

Keywright::Keywright(QObject *parent)
    : QObject(parent)
{
    GpgControl::setAgentOption(QStringLiteral("pinentry-program"), QStringLiteral("/usr/bin/pinentry-qt"));
}

Keywright::~Keywright()
{
    m_context.reset();
    if (m_rawContext) {
        gpgme_release(m_rawContext);
    }
}

QPair<bool, QString> Keywright::initialize(const QString &homeDir)
{
    const QString error = GpgmeSetup::initialize(homeDir, m_context, m_rawContext);
    return {error.isEmpty(), error};
}

QPair<int, QString> Keywright::generationKey(const QString &name, const QString &email, const QString &comment)
{
    const QPair<bool, QString> initialized = initialize(QString());
    if (!initialized.first) {
        return {1, initialized.second};
    }
    const QString problem = parameterProblem(name, email, comment);
    if (!problem.isEmpty()) {
        return {1, problem};
    }

    const QByteArray parameters = keyParameters(name, email, comment).toUtf8();
    const gpgme_error_t error = gpgme_op_genkey(m_rawContext, parameters.constData(), nullptr, nullptr);
    if (error) {
        return {1, GpgmeSetup::errorText(error, QStringLiteral(" "))};
    }
    const gpgme_genkey_result_t result = gpgme_op_genkey_result(m_rawContext);
    if (result && result->primary && result->fpr) {
        return {0, QString::fromUtf8(result->fpr)};
    }
    return {0, QString()};
}

QString Keywright::parameterProblem(const QString &name, const QString &email, const QString &comment)
{
    if (name.isEmpty()) {
        return QStringLiteral("Parameters map does not contains required keys");
    }
    // Each value becomes part of one parameter line; a line break would let it add lines of its own.
    if (containsControlCharacter(name) || containsControlCharacter(email) || containsControlCharacter(comment)) {
        return QStringLiteral("Name, e-mail and comment must not contain line breaks or other control characters");
    }
    return QString();
}

QString Keywright::keyParameters(const QString &name, const QString &email, const QString &comment)
{
    QString parameters = QStringLiteral("<GnupgKeyParms format=\"internal\">\n");
    parameters += QStringLiteral(" Key-Type: GOST_R34.10-2012 \n");
    parameters += QStringLiteral(" Name-Real: ") + name + QStringLiteral(" \n");
    if (!comment.isEmpty()) {
        parameters += QStringLiteral(" Name-Comment: ") + comment + QStringLiteral(" \n");
    }
    if (!email.isEmpty()) {
        parameters += QStringLiteral(" Name-Email: ") + email + QStringLiteral(" \n");
    }
    parameters += QStringLiteral(" Expire-Date: 0 \n");
    parameters += QStringLiteral("</GnupgKeyParms>");
    return parameters;
}

bool Keywright::containsControlCharacter(const QString &value)
{
    for (const QChar character : value) {
        switch (character.category()) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return true;
        default:
            break;
        }
    }
    return false;
}
