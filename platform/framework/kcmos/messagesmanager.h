#pragma once

#include "kcmos_export.h"
#include "kcmostypes.h"

#include <QWidget>

class KMessageWidget;
class QVBoxLayout;

namespace KCMOS
{
// The message area at the top of a module's page. Keeps the latest few messages.
class KCMOS_EXPORT MessagesManager : public QWidget
{
    Q_OBJECT
public:
    explicit MessagesManager(QWidget *parent = nullptr);

    void newMessage(const QString &text, KCMOS::MessageType type, const QString &secondText = QString(), KCMOS::State state = Idle);
    QList<KMessageWidget *> messages() const;

    static constexpr int MaximumShownMessages = 3;

private:
    QVBoxLayout *m_layout;
};
}
