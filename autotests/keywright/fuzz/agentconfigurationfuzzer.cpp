// libFuzzer target for the merge of options into gpg-agent.conf.
// Input: optionally "<extra option key>\0", then the configuration file's bytes.

#include "gpgcontrol.h"

#include <QBuffer>
#include <QTextStream>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "agent configuration merge: %s\n", what);
        std::abort();
    }
}

// gpg-agent option names are ASCII words. Other keys could not be found again by the merge: it
// splits at ASCII white space and then trims Unicode white space too (U+2000), and a leading
// U+FEFF would be read back as a byte order mark.
bool isOptionName(const QString &key)
{
    return !key.isEmpty() && std::all_of(key.cbegin(), key.cend(), [](QChar character) {
        return character.unicode() > 0x20 && character.unicode() < 0x7f;
    });
}

QString merge(QByteArray content, const QHash<QString, QString> &options)
{
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return GpgControl::mergeAgentConfiguration(buffer, options);
}

int lineCount(QByteArray content)
{
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    QTextStream stream(&buffer);
    stream.setCodec("UTF-8");
    stream.setAutoDetectUnicode(false);
    int count = 0;
    while (!stream.atEnd()) {
        stream.readLine();
        ++count;
    }
    return count;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray input(reinterpret_cast<const char *>(data), int(size));
    QHash<QString, QString> options {{QStringLiteral("pinentry-program"), QStringLiteral("/usr/bin/pinentry-qt")}};
    const int separator = input.indexOf('\0');
    if (separator >= 0) {
        const QString extraKey = QString::fromUtf8(input.left(separator));
        input = input.mid(separator + 1);
        if (isOptionName(extraKey)) {
            options.insert(extraKey, QStringLiteral("fuzzed value"));
        }
    }

    const QString merged = merge(input, options);
    check(merged.isEmpty() || merged.endsWith(QLatin1Char('\n')), "result does not end with a line end");
    for (auto option = options.cbegin(); option != options.cend(); ++option) {
        const QString line = QStringLiteral("%1 %2\n").arg(option.key(), option.value());
        check(merged.startsWith(line) || merged.contains(QLatin1Char('\n') + line), "an option is missing");
    }
    const QByteArray mergedBytes = merged.toUtf8();
    check(lineCount(mergedBytes) <= lineCount(input) + options.size(), "lines were added beyond the new options");
    check(merge(mergedBytes, options) == merged, "merging twice changes the result");
    return 0;
}
