#pragma once

#include <QString>
#include <QWidget>

class KeysProxyFileModel;
class Ui_KeysWidget;

// The keys tab: the key directories under /etc/digsig, key creation and the key manager.
class KeysWidget : public QWidget
{
    Q_OBJECT
public:
    explicit KeysWidget(QWidget *parent = nullptr);
    ~KeysWidget() override;

    // Starts kgpg as root and waits for it, or tells how to install it.
    void openKeyManager() const;
    // Creates a key and exports its public part into the extended-attribute key directory.
    void openCreateKeyDialog() const;

    // Test hooks, each restored by an empty text: the key directory (read when a widget is
    // built and when a key is exported), the file whose presence means kgpg is installed,
    // and the program started instead of "pkexec" (it gets "kgpg", "-k").
    static void setKeyDirectoryForTesting(const QString &path);

private:
    void setupFilters();
    void followHelper();

    Ui_KeysWidget *m_ui;
    KeysProxyFileModel *m_model;
};
