#pragma once

#include <QObject>
#include <QTimer>

// Closes every modal window still open once the deadline has passed, so that a flow that
// never ends fails on its checks within seconds instead of hanging in a nested loop.
class DialogDeadline : public QObject
{
public:
    explicit DialogDeadline(int msecs, QObject *parent = nullptr);

    // Whether a window had to be closed.
    bool expired() const;

private:
    QTimer m_timer;
    bool m_expired = false;
};
