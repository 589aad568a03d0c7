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
    if (switchesControlOn(settings) && !m_gui->checkSignatures(settings, true)) {
        return {};
    }
    if ((settings.elfMode() == ControllMode::On || settings.xattrMode() == ControllMode::On) && !confirmEnforcement()) {
        return {};
    }
    return {
        {QStringLiteral("DIGSIG_ELF_MODE"), static_cast<int>(settings.elfMode())},
        {QStringLiteral("DIGSIG_XATTR_MODE"), static_cast<int>(settings.xattrMode())},
        {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), settings.ignoreXattrkeys() ? 1 : 0},
        {QStringLiteral("DIGSIG_IGNORE_GOST2001"), settings.ignoreGost2001() ? 1 : 0},
        {QStringLiteral("DIGSIG_XATTR_CONTROL"), settings.xattrControlContent()},
        {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), static_cast<int>(settings.verifyMode())},
    };
}

bool Digsigmanager::switchesControlOn(const DigSigSettingsData &settings) const
{
    const DigSigSettingsData current = m_controlPanel->data();
    return (settings.elfMode() == ControllMode::On && current.elfMode() != ControllMode::On)
        || (settings.xattrMode() == ControllMode::On && current.xattrMode() != ControllMode::On);
}

// Switching a control on makes unsigned programs unusable after the next boot.
bool Digsigmanager::confirmEnforcement()
{
    const auto answer = QMessageBox::warning(nullptr, i18nd("orlis_kcm_digsig", "Warning"),
        i18nd("orlis_kcm_digsig",
            "All unsigned files can not be started after reboot system.\nIt is advisable to first check the system "
            "in debug mode.\nAre you sure want apply this settings?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    return answer != QMessageBox::No;
}
