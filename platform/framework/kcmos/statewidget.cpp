#include "statewidget.h"

#include <KLocalizedString>

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

namespace KCMOS
{
StateWidget::StateWidget(QWidget *parent)
    : QWidget(parent)
    , m_busyIndicator(new QProgressBar(this))
    , m_label(new QLabel(this))
{
    setObjectName(QStringLiteral("stateWidget"));
    auto layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_busyIndicator->setRange(0, 0);
    m_busyIndicator->setTextVisible(false);
    m_busyIndicator->setMaximumWidth(120);
    layout->addWidget(m_busyIndicator);
    layout->addWidget(m_label, 1);
    resetState();
}

void StateWidget::waitState(State state)
{
    m_state = state;
    const bool busy = state == Busy;
    m_label->setText(busy ? i18nd("kcm-orlis-settings", "Applying changes, please wait...") : QString());
    setVisible(busy);
}

void StateWidget::resetState()
{
    waitState(Idle);
}

State StateWidget::currentState() const
{
    return m_state;
}
}
