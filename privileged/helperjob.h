#pragma once

#include <KJob>

#include <QVariantMap>

// A running privileged helper action. Besides KJob's error(), errorString() and
// finished/result, it carries the helper's reply data and its progress records.
class HelperJob : public KJob
{
    Q_OBJECT
public:
    explicit HelperJob(QObject *parent = nullptr);
    ~HelperJob() override;

    // The reply of a successful action; empty on failure.
    QVariantMap data() const;

    // Watches a long action by its progress records instead of its timeout: it fails when
    // its helper sends none for this long. 0, the default, watches the timeout.
    void setSilenceLimit(int milliseconds);
    int silenceLimit() const;
    // What a long action may stay silent; the helpers send a record at least every 5 s.
    static constexpr int LongActionSilenceLimit = 60000;

Q_SIGNALS:
    // One progress record sent by the helper while the action runs.
    void newData(const QVariantMap &data);

protected:
    void setData(const QVariantMap &data);

private:
    QVariantMap m_data;
    int m_silenceLimit = 0;
};
