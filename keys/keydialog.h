#pragma once

#include <QDialog>

class KeyManager;
class QRegularExpressionValidator;
class Ui_KeyDialog;

// Asks for the name, e-mail address and comment of a new signing key and has the key
// manager create it; closes itself only when a key was created.
class KeyDialog : public QDialog
{
    Q_OBJECT
public:
    // The key manager is not owned and must outlive the dialog.
    explicit KeyDialog(KeyManager *keyManager, QWidget *parent = nullptr);
    ~KeyDialog() override;

    // True for names of at least 5 characters; otherwise tells the user and gives false.
    bool correctNameSize();
    // True for an empty or a complete address; otherwise asks for one in the dialog and gives false.
    bool correctEmail();

    void accept() override;
    // Ignored while the key is being created: the result is still to come.
    void reject() override;

private:
    void installValidators();
    void connectKeyManager();
    void showCreationRunning();
    void showStillRunning();
    void showGenerationError(const QString &error);
    void showGenerationSuccess(const QString &fingerprint);

    KeyManager *m_keyManager;
    Ui_KeyDialog *m_ui;
};
