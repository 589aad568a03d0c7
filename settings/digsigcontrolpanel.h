#pragma once

#include "digsigsettingsdata.h"

#include <QObject>

// Shared state of the control panel: hands out the settings as the files hold them now
// and announces whether the panel shows edited values.
class DigSigControlPanel : public QObject
{
    Q_OBJECT
public:
    explicit DigSigControlPanel(QObject *parent = nullptr);

    // A fresh record: both configuration files are read again on every call.
    DigSigSettingsData data() const;
    void changedPanel(bool changed);
    // Something other than the panel wrote the configuration files.
    void announceFilesWritten();

Q_SIGNALS:
    void modifyed(bool changed);
    void filesWritten();
};
