#pragma once

#include <QObject>
#include <QPair>
#include <QString>

#include <gpgme.h>

#include <memory>

namespace GpgME {
class Context;
}

/**
 * Generates a GOST R 34.10-2012 signing key in the key ring of the running account.
 * Constructing it points root's GnuPG agent at the graphical pinentry and reloads the agent;
 * that set-up raises std::runtime_error on failure.
 */
class Keywright : public QObject
{
    Q_OBJECT
public:
    explicit Keywright(QObject *parent = nullptr);
    ~Keywright() override;

    /** (ok, error text) */
    QPair<bool, QString> initialize(const QString &homeDir);
    /** (exit status, text to print): the fingerprint or the error text. */
    QPair<int, QString> generationKey(const QString &name, const QString &email, const QString &comment);

    /** The GnuPG parameter block for a new key; the values go in unchanged. */
    static QString keyParameters(const QString &name, const QString &email, const QString &comment);
    /** Why the three values can not make a key; empty when they can. */
    static QString parameterProblem(const QString &name, const QString &email, const QString &comment);
    /** True when @p value holds a line break or another control character. */
    static bool containsControlCharacter(const QString &value);

private:
    gpgme_ctx_t m_rawContext = nullptr;
    std::unique_ptr<GpgME::Context> m_context;
};
