#include "dialogdeadline.h"

#include <QApplication>
#include <QDialog>

DialogDeadline::DialogDeadline(int msecs, QObject *parent)
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

bool DialogDeadline::expired() const
{
    return m_expired;
}
