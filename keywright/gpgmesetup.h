#pragma once

#include <QString>

#include <gpgme.h>

#include <memory>

namespace GpgME {
class Context;
}

/**
 * The GpgME start-up shared by the key-generation program and GpgControl: prepares the
 * library, its locale and the OpenPGP engine and creates a fresh gpgmepp context and a
 * fresh raw context, replacing the ones passed in.
 */
class GpgmeSetup
{
public:
    /** Returns an empty text on success, otherwise the text of the first failure. */
    static QString initialize(const QString &homeDir, std::unique_ptr<GpgME::Context> &context, gpgme_ctx_t &rawContext);

    /** GpgME's error source text followed by the error description, joined by @p separator. */
    static QString errorText(gpgme_error_t error, const QString &separator);
};
