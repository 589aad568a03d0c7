#pragma once

#include <QVariantHash>

class DigSigControlPanel;
class GuiManager;

// What the module sees of its manager.
class IDigsigManager
{
public:
    virtual ~IDigsigManager() = default;

    virtual GuiManager *gui() const = 0;
    virtual DigSigControlPanel *controlPanel() const = 0;
    // The six settings to apply; empty when the user declined the enforcement warning.
    virtual QVariantHash dataToChange() const = 0;
};
