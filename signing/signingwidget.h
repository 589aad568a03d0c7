#pragma once

#include <QWidget>

class DigSigControlPanel;

// The signing tab: the file tree to tick and sign.
class SigningWidget : public QWidget
{
    Q_OBJECT
public:
    explicit SigningWidget(DigSigControlPanel *panel, QWidget *parent = nullptr);

    // Builds or rebuilds the file tree.
    void setupTable();

Q_SIGNALS:
    // Start (finished false) and end (finished true, the error text) of the background
    // refresh of the boot-time verification list.
    void finishUpdate(bool finished, const QString &error);

private:
    DigSigControlPanel *m_panel;
};
