#include "messagesmanager.h"

#include <KMessageWidget>

#include <QVBoxLayout>

namespace KCMOS
{
MessagesManager::MessagesManager(QWidget *parent)
    : QWidget(parent)
    , m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("messagesManager"));
    m_layout->setContentsMargins(0, 0, 0, 0);
}

void MessagesManager::newMessage(const QString &text, MessageType type, const QString &secondText, State state)
{
    Q_UNUSED(state)
    auto message = new KMessageWidget(this);
    message->setWordWrap(true);
    message->setCloseButtonVisible(true);
    message->setMessageType(static_cast<KMessageWidget::MessageType>(type));
    message->setText(secondText.isEmpty() ? text : text + QLatin1Char('\n') + secondText);
    m_layout->insertWidget(0, message);
    message->animatedShow();

    const auto shown = messages();
    for (int i = MaximumShownMessages; i < shown.size(); ++i) {
        delete shown.at(i);
    }
}

QList<KMessageWidget *> MessagesManager::messages() const
{
    QList<KMessageWidget *> result;
    for (int i = 0; i < m_layout->count(); ++i) {
        if (auto message = qobject_cast<KMessageWidget *>(m_layout->itemAt(i)->widget())) {
            result.append(message);
        }
    }
    return result;
}
}
