#pragma once

#include "signaturescandialog.h"

#include <QObject>

class ControlPanelWidget;
class DigSigSettingsData;
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

    // Shows which programs enforcement would refuse under the settings. Before an apply
    // the scan starts at once and the answer says whether the apply may go on. A request
    // to sign files from the report runs the signing flow once this call has returned.
    SignatureScanDialog::Answer checkSignatures(const DigSigSettingsData &settings, bool beforeApply);
    // Whether the control panel shows values that differ from the files.
    bool hasPendingEdits() const;

Q_SIGNALS:
    // The signing tab is about to run the signing flow and should be the one shown.
    void signingStarts();

private:
    ControlPanelWidget *m_controlPanel;
    KeysWidget *m_keys;
    SigningWidget *m_signing;
};
