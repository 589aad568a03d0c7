#include "guimanager.h"

#include "controlpanelwidget.h"
#include "keyswidget.h"
#include "signingwidget.h"

GuiManager::GuiManager(DigSigControlPanel *panel, QObject *parent)
    : QObject(parent)
    , m_controlPanel(new ControlPanelWidget(panel))
    , m_keys(new KeysWidget)
    , m_signing(new SigningWidget(panel))
{
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
