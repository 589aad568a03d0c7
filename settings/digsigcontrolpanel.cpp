#include "digsigcontrolpanel.h"

DigSigControlPanel::DigSigControlPanel(QObject *parent)
    : QObject(parent)
{
}

DigSigSettingsData DigSigControlPanel::data() const
{
    DigSigSettingsData settings;
    settings.analysis();
    return settings;
}

void DigSigControlPanel::changedPanel(bool changed)
{
    Q_EMIT modifyed(changed);
}

void DigSigControlPanel::announceFilesWritten()
{
    Q_EMIT filesWritten();
}
