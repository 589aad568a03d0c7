#pragma once

#include "digsigsettingsdata.h"

#include <QButtonGroup>
#include <QDialog>

#include <memory>

namespace Ui {
class VerifyModeDialog;
}

// Lets the user choose the ELF verification mode. The choice is only open while the
// control of executable files is not Off.
class VerifyModeDialog : public QDialog
{
    Q_OBJECT
public:
    VerifyModeDialog(VerificationModeId initialMode, ControllMode elfMode, QWidget *parent = nullptr);
    ~VerifyModeDialog() override;

    // The id of the checked choice, -1 when none is checked.
    int selectedId() const;
    // The label of the choice with that id, or "Unknown".
    QString selectedTextByModeId(VerificationModeId mode) const;

private:
    void setupChoices();
    void onChoiceClicked(int id);

    std::unique_ptr<Ui::VerifyModeDialog> m_ui;
    const VerificationModeId m_initialMode;
    QButtonGroup m_choices;
};
