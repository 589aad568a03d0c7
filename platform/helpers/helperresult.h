#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>

/** The outcome of one helper action: success with reply data, or an error text. */
class HelperResult
{
public:
    static HelperResult success(const QVariantMap &data = {});
    static HelperResult failure(const QString &error);

    bool isSuccess() const;
    QString error() const;
    QVariantMap data() const;

private:
    HelperResult(bool success, const QString &error, const QVariantMap &data);

    bool m_success;
    QString m_error;
    QVariantMap m_data;
};

/** Sends one progress record to the caller. */
using ProgressCallback = std::function<void(const QVariantMap &)>;
/** Tells whether the caller asked to stop; may process events. */
using StopCheck = std::function<bool()>;
/** Tells the caller that a long action is still at work. */
using Heartbeat = std::function<void()>;
