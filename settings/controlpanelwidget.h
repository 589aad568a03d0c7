#pragma once

#include "digsigsettingsdata.h"

#include <QList>
#include <QWidget>

#include <memory>

class DigSigControlPanel;
class QComboBox;

namespace Ui {
class ControlPanelWidget;
}

// The panel at the top of the module's page: shows the signature-control settings as
// the files hold them and lets the user edit them. After every edit it tells the
// control-panel state whether the shown values differ from the files.
class ControlPanelWidget : public QWidget
{
    Q_OBJECT
public:
    ControlPanelWidget(DigSigControlPanel *panel, QWidget *parent = nullptr);
    ~ControlPanelWidget() override;

    // The shown values as a record to apply.
    DigSigSettingsData getData() const;
    bool hasChangedData() const;
    // Back to the values in the files.
    void reset();
    // The files were written elsewhere: every value the user has not edited shows the file's
    // new one, edited values stay pending.
    void followFiles();

    void selectVerifyMode();
    void resetVerify();

    void comboSetupToolTip(QComboBox *box) const;
    QString currentVerifyText() const;
    void setupWidgets();

Q_SIGNALS:
    // The administrator asked which programs the shown settings would stop.
    void checkSignaturesRequested();

private:
    void connectEdits();
    void setupCombo(QComboBox *box, ControllMode fileMode);
    static bool isEdited(const QComboBox *box, ControllMode loaded);
    void shrinkMessageFont();
    void collapseDetails();
    void toggleDetails();
    void showVerifyText(const QString &text);
    QString modeToolTip(const QComboBox *box, ControllMode mode) const;
    static ControllMode currentMode(const QComboBox *box);

    std::unique_ptr<Ui::ControlPanelWidget> m_ui;
    DigSigControlPanel *const m_panel;
    QList<QWidget *> m_detailWidgets;
    bool m_detailsShown = false;
    VerificationModeId m_selectedVerifyMode = VerificationModeId::Invalid;
    // The files as last shown, to tell the user's edits from values the files changed.
    DigSigSettingsData m_loaded;
};
