#include "helperresult.h"

HelperResult::HelperResult(bool success, const QString &error, const QVariantMap &data)
    : m_success(success)
    , m_error(error)
    , m_data(data)
{
}

HelperResult HelperResult::success(const QVariantMap &data)
{
    return HelperResult(true, QString(), data);
}

HelperResult HelperResult::failure(const QString &error)
{
    return HelperResult(false, error, {});
}

bool HelperResult::isSuccess() const
{
    return m_success;
}

QString HelperResult::error() const
{
    return m_error;
}

QVariantMap HelperResult::data() const
{
    return m_data;
}
