#pragma once

#include <QObject>

class ControlPanelWidget;
class DigSigControlPanel;
class KeysWidget;
class SigningWidget;
class QWidget;

// Creates the module's three widgets and finds them by id.
class GuiManager : public QObject
{
    Q_OBJECT
public:
    enum WidgetId {
        ControlPanel = 0,
        Keys = 1,
        Signing = 2,
    };

    GuiManager(DigSigControlPanel *panel, QObject *parent = nullptr);
    ~GuiManager() override;

    QWidget *widgetById(WidgetId id) const;
    void resetSettings() const;

private:
    ControlPanelWidget *m_controlPanel;
    KeysWidget *m_keys;
    SigningWidget *m_signing;
};
