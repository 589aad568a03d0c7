#include "gpgmesetup.h"

#include <gpgme++/context.h>
#include <gpgme++/error.h>
#include <gpgme++/global.h>

#include <clocale>

QString GpgmeSetup::initialize(const QString &homeDir, std::unique_ptr<GpgME::Context> &context, gpgme_ctx_t &rawContext)
{
    GpgME::initializeLibrary();
    context.reset(GpgME::Context::createForProtocol(GpgME::OpenPGP));
    if (!context) {
        return QStringLiteral("Context is null");
    }

    const QByteArray home = homeDir.toUtf8();
    if (!homeDir.isEmpty()) {
        const GpgME::Error error = context->setEngineHomeDirectory(home.constData());
        if (error.code()) {
            return QString::fromUtf8(error.asString());
        }
    }

    gpgme_check_version(nullptr);
    setlocale(LC_ALL, "");
    gpgme_set_locale(nullptr, LC_CTYPE, setlocale(LC_CTYPE, nullptr));
    gpgme_set_locale(nullptr, LC_MESSAGES, setlocale(LC_MESSAGES, nullptr));

    gpgme_error_t error = gpgme_set_engine_info(GPGME_PROTOCOL_OpenPGP, nullptr, homeDir.isEmpty() ? nullptr : home.constData());
    if (error) {
        return errorText(error, QString());
    }

    if (rawContext) {
        gpgme_release(rawContext);
        rawContext = nullptr;
    }
    error = gpgme_new(&rawContext);
    if (error) {
        rawContext = nullptr;
        return errorText(error, QString());
    }

    error = gpgme_engine_check_version(GPGME_PROTOCOL_OpenPGP);
    if (error) {
        return errorText(error, QString());
    }

    gpgme_engine_info_t engineInfo = nullptr;
    error = gpgme_get_engine_info(&engineInfo);
    if (error) {
        return errorText(error, QString());
    }
    return QString();
}

QString GpgmeSetup::errorText(gpgme_error_t error, const QString &separator)
{
    return QString::fromUtf8(gpgme_strsource(error)) + separator + QString::fromUtf8(gpgme_strerror(error));
}
