#include "digsigmanager.h"

#include "controlpanelwidget.h"
#include "digsigcontrolpanel.h"
#include "guimanager.h"

#include <KLocalizedString>

#include <QMessageBox>

Digsigmanager::Digsigmanager(QObject *parent)
    : QObject(parent)
    , m_controlPanel(new DigSigControlPanel(this))
    , m_gui(new GuiManager(m_controlPanel, this))
{
}

GuiManager *Digsigmanager::gui() const
{
    return m_gui;
}

DigSigControlPanel *Digsigmanager::controlPanel() const
{
    return m_controlPanel;
}

QVariantHash Digsigmanager::dataToChange() const
{
    auto panel = static_cast<ControlPanelWidget *>(m_gui->widgetById(GuiManager::ControlPanel));
    const DigSigSettingsData settings = panel->getData();
    auto answer = SignatureScanDialog::Answer::Apply;
    if (canMakeProgramsRefuse(settings)) {
        answer = m_gui->checkSignatures(settings, true);
    }
    if (answer == SignatureScanDialog::Answer::Hold) {
        return {};
    }
    if ((settings.elfMode() == ControllMode::On || settings.xattrMode() == ControllMode::On)
        && !confirmEnforcement(answer != SignatureScanDialog::Answer::Unanswered)) {
        return {};
    }
    return settings.changeArguments();
}

// A control switched on, or under an enforcing control a new verification mode or new
// templates: programs that run today may be refused after the next boot.
bool Digsigmanager::canMakeProgramsRefuse(const DigSigSettingsData &settings) const
{
    const DigSigSettingsData current = m_controlPanel->data();
    const bool elfOn = settings.elfMode() == ControllMode::On;
    const bool xattrOn = settings.xattrMode() == ControllMode::On;
    return (elfOn && current.elfMode() != ControllMode::On) || (xattrOn && current.xattrMode() != ControllMode::On)
        || ((elfOn || xattrOn) && settings.verifyMode() != current.verifyMode())
        || (xattrOn && settings.xattrControlContent() != current.xattrControlContent());
}

// Switching a control on makes unsigned programs unusable after the next boot. Without an
// answer from the check, No is the default.
bool Digsigmanager::confirmEnforcement(bool checkAnswered)
{
    const auto answer = QMessageBox::warning(nullptr, i18nd("orlis_kcm_digsig", "Warning"),
        i18nd("orlis_kcm_digsig",
            "All unsigned files can not be started after reboot system.\nIt is advisable to first check the system "
            "in debug mode.\nAre you sure want apply this settings?"),
        QMessageBox::Yes | QMessageBox::No, checkAnswered ? QMessageBox::NoButton : QMessageBox::No);
    return answer != QMessageBox::No;
}
