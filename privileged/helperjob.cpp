#include "helperjob.h"

HelperJob::HelperJob(QObject *parent)
    : KJob(parent)
{
}

HelperJob::~HelperJob() = default;

QVariantMap HelperJob::data() const
{
    return m_data;
}

void HelperJob::setData(const QVariantMap &data)
{
    m_data = data;
}

void HelperJob::setSilenceLimit(int milliseconds)
{
    m_silenceLimit = milliseconds;
}

int HelperJob::silenceLimit() const
{
    return m_silenceLimit;
}
