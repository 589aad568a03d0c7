// libFuzzer target for the reading of bsign reports: the description builder and the
// four extractors get arbitrary text, and must neither crash nor misbehave.
#include "bsign.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Bsign parser;
    const QString report = QString::fromLocal8Bit(reinterpret_cast<const char *>(data), int(size));

    const QString description = parser.signingInfo(report);
    if (!report.isEmpty() && !description.startsWith(QLatin1String("Key ID: "))) {
        __builtin_trap();
    }
    QString hashValue = QStringLiteral("Unknown");
    parser.extractHashAlgorithmAndValue(report, hashValue);
    const QString signature = parser.extractSignature(report);
    if (signature != QLatin1String("Unknown") && (!signature.startsWith(QLatin1Char('\n')) || signature.endsWith(QLatin1Char(' ')))) {
        __builtin_trap();
    }
    parser.extractKeyId(report);
    parser.extractTimestamp(report);

    if (size >= sizeof(int)) {
        int code = 0;
        memcpy(&code, data, sizeof(int));
        const Bsign::ReturnValue value = parser.exitCodeToReturnValue(code);
        if (Bsign::returnValueToString(value).isEmpty()) {
            __builtin_trap();
        }
    }
    return 0;
}
