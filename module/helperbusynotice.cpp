#include "helperbusynotice.h"

#include "helperactivity.h"

#include <KLocalizedString>
#include <KMessageWidget>

#include <QProgressBar>
#include <QVBoxLayout>

HelperBusyNotice::HelperBusyNotice(const QString &helperId, QWidget *parent)
    : QWidget(parent)
    , m_helperId(helperId)
    , m_message(new KMessageWidget(this))
    , m_busyIndicator(new QProgressBar(this))
{
    setObjectName(QStringLiteral("helperBusyNotice"));
    m_message->setObjectName(QStringLiteral("helperBusyMessage"));
    m_message->setMessageType(KMessageWidget::Information);
    m_message->setCloseButtonVisible(false);
    m_message->setWordWrap(true);
    m_busyIndicator->setRange(0, 0);
    m_busyIndicator->setTextVisible(false);
    auto layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_message);
    layout->addWidget(m_busyIndicator);
    connect(HelperActivity::instance(), &HelperActivity::changed, this, [this](const QString &changedHelperId) {
        if (changedHelperId == m_helperId) {
            follow();
        }
    });
    follow();
}

void HelperBusyNotice::follow()
{
    const HelperActivity *activity = HelperActivity::instance();
    setVisible(activity->isBusy(m_helperId));
    if (isHidden()) {
        return;
    }
    QString text = activity->description(m_helperId) + QLatin1Char(' ')
        + i18nd("orlis_kcm_digsig", "Signing, creating keys and applying settings are available again when it ends.");
    const int waiting = activity->waitingCalls(m_helperId);
    if (waiting > 0) {
        text += QLatin1Char(' ') + i18ndp("orlis_kcm_digsig", "A request waits for it.", "%1 requests wait for it.", waiting);
    }
    m_message->setText(text);
}
