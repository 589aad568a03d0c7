#include "guimanager.h"

#include "controlpanelwidget.h"
#include "keyswidget.h"
#include "signaturescandialog.h"
#include "signingwidget.h"

#include <QTimer>

GuiManager::GuiManager(DigSigControlPanel *panel, QObject *parent)
    : QObject(parent)
    , m_controlPanel(new ControlPanelWidget(panel))
    , m_keys(new KeysWidget)
    , m_signing(new SigningWidget(panel))
{
    connect(m_controlPanel, &ControlPanelWidget::checkSignaturesRequested, this, [this]() {
        checkSignatures(m_controlPanel->getData(), false);
    });
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

bool GuiManager::checkSignatures(const DigSigSettingsData &settings, bool beforeApply)
{
    SignatureScanDialog dialog(settings, m_controlPanel);
    connect(&dialog, &SignatureScanDialog::signRequested, this, [this](const QStringList &files, Bsign::SignMode mode) {
        QTimer::singleShot(0, this, [this, files, mode]() {
            Q_EMIT signingStarts();
            m_signing->signFiles(files, mode);
        });
    });
    if (beforeApply) {
        return dialog.mayApply();
    }
    dialog.startScan();
    dialog.exec();
    return true;
}
