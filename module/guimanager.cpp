#include "guimanager.h"

#include "controlpanelwidget.h"
#include "keyswidget.h"
#include "signingwidget.h"

#include <QTimer>

GuiManager::GuiManager(DigSigControlPanel *panel, QObject *parent)
    : QObject(parent)
    , m_controlPanel(new ControlPanelWidget(panel))
    , m_keys(new KeysWidget)
    , m_signing(new SigningWidget(panel))
{
    connect(m_controlPanel, &ControlPanelWidget::checkSignaturesRequested, this, [this]() { checkSignatures(m_controlPanel->getData(), false); });
}

// The widgets are reparented into the module's page; until then they are ours.
GuiManager::~GuiManager()
{
    for (QWidget *widget : {static_cast<QWidget *>(m_controlPanel), static_cast<QWidget *>(m_keys), static_cast<QWidget *>(m_signing)}) {
        if (!widget->parent()) {
            delete widget;
        }
    }
}

QWidget *GuiManager::widgetById(WidgetId id) const
{
    switch (id) {
    case ControlPanel:
        return m_controlPanel;
    case Keys:
        return m_keys;
    case Signing:
        return m_signing;
    }
    return nullptr;
}

void GuiManager::resetSettings() const
{
    m_controlPanel->reset();
}

bool GuiManager::hasPendingEdits() const
{
    return m_controlPanel->hasChangedData();
}

SignatureScanDialog::Answer GuiManager::checkSignatures(const DigSigSettingsData &settings, bool beforeApply)
{
    SignatureScanDialog dialog(settings, m_controlPanel);
    QVector<QPair<QStringList, Bsign::SignMode>> signingRuns;
    connect(&dialog, &SignatureScanDialog::signRequested, this, [&signingRuns](const QStringList &files, Bsign::SignMode mode) {
        signingRuns.append({files, mode});
    });
    auto answer = SignatureScanDialog::Answer::Unanswered;
    if (beforeApply) {
        answer = dialog.askBeforeApply();
    } else {
        dialog.startScan();
        dialog.exec();
    }
    if (!signingRuns.isEmpty()) {
        // After the apply that may be under way has returned; each run is modal, so they
        // follow one another.
        QTimer::singleShot(0, this, [this, signingRuns]() {
            Q_EMIT signingStarts();
            for (const auto &[files, mode] : signingRuns) {
                m_signing->signFiles(files, mode);
            }
        });
    }
    return answer;
}
