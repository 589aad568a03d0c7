// libFuzzer target for the reader of digsig_initramfs.conf and xattr_control: whatever
// the files hold, reading them must neither crash nor give values outside their ranges.

#include "digsigsettingsdata.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir configDir;
    if (!configDir.isValid()) {
        std::abort();
    }
    DigSigSettingsData::setConfigurationDirectory(configDir.path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const QString &path : {DigSigSettingsData::initramfsConfPath(), DigSigSettingsData::xattrControlPath()}) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::abort();
        }
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    DigSigSettingsData settings;
    settings.analysis();
    const auto outside = [](auto mode, int low, int high) { return static_cast<int>(mode) < low || static_cast<int>(mode) > high; };
    if (outside(settings.elfMode(), 0, 3) || outside(settings.xattrMode(), 0, 3) || outside(settings.verifyMode(), -1, 4)
        || settings.xattrControlContent().contains(QChar(0))) {
        std::abort();
    }
    return 0;
}
