#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>

// Closes every modal window still open once the deadline has passed, so that a flow that
// never ends fails on its checks within seconds instead of hanging in a nested loop.
class DialogDeadline : public QObject
{
public:
    explicit DialogDeadline(int msecs, QObject *parent = nullptr)
        : QObject(parent)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            // Past the deadline the timer keeps going: each window that opens after it is closed too.
            m_timer.setInterval(50);
            if (auto dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                m_expired = true;
                // Rejected first, so that a dialog stops its work; one that refuses is closed anyway.
                dialog->reject();
                if (dialog->isVisible()) {
                    dialog->done(QDialog::Rejected);
                }
            }
        });
        m_timer.start(msecs);
    }

    // Whether a window had to be closed.
    bool expired() const { return m_expired; }

private:
    QTimer m_timer;
    bool m_expired = false;
};
