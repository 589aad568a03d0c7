#pragma once

#include <QWidget>

class KMessageWidget;
class QProgressBar;

// Shown while a long action holds a privileged helper: what runs, that the controls
// needing the helper come back when it ends, and how many calls wait for it.
class HelperBusyNotice : public QWidget
{
    Q_OBJECT
public:
    explicit HelperBusyNotice(const QString &helperId, QWidget *parent = nullptr);

private:
    void follow();

    QString m_helperId;
    KMessageWidget *m_message;
    QProgressBar *m_busyIndicator;
};
