#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects the debug and warning lines written while it lives.
class MessageCatcher
{
public:
    MessageCatcher();
    ~MessageCatcher();

    QStringList debugLines() const;
    QStringList warningLines() const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QtMessageHandler m_previous;
    QStringList m_debug;
    QStringList m_warnings;
};
