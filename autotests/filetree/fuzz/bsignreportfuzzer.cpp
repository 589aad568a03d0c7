// libFuzzer target for the reading of bsign reports: the description builder, the
// extractors and the exit code table get arbitrary input and must neither crash nor misbehave.
#include "bsign.h"

#include <QCoreApplication>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Bsign parser;
    const QString report = QString::fromLocal8Bit(reinterpret_cast<const char *>(data), int(size));
    const QString signature = parser.extractSignature(report);
    int code = 0;
    memcpy(&code, data, qMin(size, sizeof code));
    if ((!report.isEmpty() && !parser.signingInfo(report).startsWith(QLatin1String("Key ID: ")))
        || (signature != QLatin1String("Unknown") && (!signature.startsWith(QLatin1Char('\n')) || signature.endsWith(QLatin1Char(' '))))
        || Bsign::returnValueToString(parser.exitCodeToReturnValue(code)).isEmpty()) {
        __builtin_trap();
    }
    return 0;
}
