#include "messagecatcher.h"

namespace {
MessageCatcher *current = nullptr;
}

MessageCatcher::MessageCatcher()
{
    current = this;
    m_previous = qInstallMessageHandler(&MessageCatcher::handle);
}

MessageCatcher::~MessageCatcher()
{
    qInstallMessageHandler(m_previous);
    current = nullptr;
}

QStringList MessageCatcher::debugLines() const
{
    return m_debug;
}

QStringList MessageCatcher::warningLines() const
{
    return m_warnings;
}

void MessageCatcher::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        current->m_debug.append(message);
    } else if (type == QtWarningMsg) {
        current->m_warnings.append(message);
    }
    if (current->m_previous) {
        current->m_previous(type, context, message);
    }
}
