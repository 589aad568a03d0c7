#pragma once

#include "bsign.h"

#include <QDialog>

class KeyManager;
namespace Ui {
class SelectKeyDialog;
}

// Asks for the key of a signing run and whether its log is to be saved; lets the user
// create a key or open the key management utility on the way.
class SelectKeyDialog : public QDialog
{
    Q_OBJECT
public:
    SelectKeyDialog(KeyManager *keyManager, Bsign::SignMode mode, QWidget *parent = nullptr);
    ~SelectKeyDialog() override;

    // The whole fingerprint of the chosen key; empty when no key is listed.
    QString selectedKeyID() const;
    bool saveLog() const;

    // Test hooks: the file whose presence means kgpg is installed, and the program started
    // instead of "pkexec" (it gets "kgpg", "-k"). An empty text restores the default.

public Q_SLOTS:
    void showCreateKeyDialog();
    void populateKeysCombobox();
    void enableOkButton();
    void openKeyManager();

private:
    void hideWarning();

    KeyManager *m_keyManager;
    Bsign::SignMode m_mode;
    Ui::SelectKeyDialog *m_ui;
};
