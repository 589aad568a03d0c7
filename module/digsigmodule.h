#pragma once

#include <kcmos/kcmostypes.h>
#include <kcmss/securitykcmodule.h>

#include <QStringList>

class IDigsigManager;

// The signature-control settings module: the control panel above the "Signing" and
// "Keys" tabs, built on the first access().
class DigsigModule : public KCMSS::SecurityKCModule
{
    Q_OBJECT
public:
    DigsigModule(QWidget *parent, const QVariantList &args);
    ~DigsigModule() override;

    // Tests replace the window manager's function tool so that nothing reboots.
    static void setRebootToolForTesting(const QString &program);

public Q_SLOTS:
    void defaults() override;
    void access() override;
    void change() override;

private:
    struct Form;

    void inflateWidgets();
    void rebootRequest() const;
    void onUpdateFinished(bool finished, const QString &error);
    void showApplyOutcome(bool succeeded);
    void showMessage(const QString &text, KCMOS::MessageType type, const QString &details = QString());
    void announcePendingEdits();
    void setModified(bool modified);
    void followHelper();

    Form *m_form;
    IDigsigManager *m_manager = nullptr;
    // Whether the shown settings differ from the files; Apply offers them only while the
    // helper that writes them is not held by a long action.
    bool m_modified = false;
    bool m_helperBusy = false;
    // What the running boot-list update warned about.
    QStringList m_updateWarnings;
};
