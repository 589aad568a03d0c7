#pragma once

#include "digsigsettingsdata.h"
#include "rootpath.h"

#include <QString>

// The signature-control configuration of the checked system, read below its root without
// following links: the verification mode and the boot verification list.
class CheckConfiguration
{
public:
    // False with error() set when a file that is there cannot be read or makes no sense.
    bool read(const RootPath &root, bool needMode);
    VerificationModeId verifyMode() const;
    QString templates() const;
    QString error() const;

private:
    bool readFile(const RootPath &root, const QString &path, QString *content);

    VerificationModeId m_mode = VerificationModeId::Invalid;
    QString m_templates;
    QString m_error;
};
