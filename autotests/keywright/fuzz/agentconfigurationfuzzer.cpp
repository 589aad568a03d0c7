// libFuzzer target for the merge of options into gpg-agent.conf.
// Input: optionally "<extra option key>\0", then the configuration file's bytes.

#include "gpgcontrol.h"

#include <QBuffer>

#include <algorithm>
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

QString merge(QByteArray content, const QHash<QString, QString> &options)
{
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return GpgControl::mergeAgentConfiguration(buffer, options);
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
        // Option names are ASCII words: Unicode white space is trimmed, a leading U+FEFF dropped.
        if (!extraKey.isEmpty() && std::all_of(extraKey.cbegin(), extraKey.cend(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; })) {
            options.insert(extraKey, QStringLiteral("fuzzed value"));
        }
    }
    const QString merged = merge(input, options);
    check(merged.isEmpty() || merged.endsWith(QLatin1Char('\n')), "result does not end with a line end");
    for (auto option = options.cbegin(); option != options.cend(); ++option) {
        const QString line = QStringLiteral("%1 %2\n").arg(option.key(), option.value());
        check(merged.startsWith(line) || merged.contains(QLatin1Char('\n') + line), "an option is missing");
    }
    // Merging nothing gives every line once, with a line end.
    check(merged.count(QLatin1Char('\n')) <= merge(input, {}).count(QLatin1Char('\n')) + options.size(), "lines were added beyond the new options");
    check(merge(merged.toUtf8(), options) == merged, "merging twice changes the result");
    return 0;
}
