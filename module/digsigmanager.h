#pragma once

#include "idigsigmanager.h"

#include <QObject>

class DigSigSettingsData;

// Owns the control-panel state and the widget registry, and builds the settings hash
// that an apply sends to the privileged helper.
class Digsigmanager : public QObject, public IDigsigManager
{
public:
    explicit Digsigmanager(QObject *parent = nullptr);

    GuiManager *gui() const override;
    DigSigControlPanel *controlPanel() const override;
    QVariantHash dataToChange() const override;

private:
    bool canMakeProgramsRefuse(const DigSigSettingsData &settings) const;
    static bool confirmEnforcement(bool checkAnswered);

    DigSigControlPanel *m_controlPanel;
    GuiManager *m_gui;
};
