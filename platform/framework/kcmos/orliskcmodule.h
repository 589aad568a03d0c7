#pragma once

#include "kcmos_export.h"
#include "kcmostypes.h"

#include <KCModule>

namespace KCMOS
{
class MessagesManager;
class StateWidget;

// Base of the platform's settings modules. The host's load() and save() become the
// module's access() and change(); a message area and a state widget sit at the top of
// the page, above whatever the module lays out itself.
class KCMOS_EXPORT OrlisKCModule : public KCModule
{
    Q_OBJECT
public:
    OrlisKCModule(const QString &moduleName, QWidget *parent, const QVariantList &args);
    ~OrlisKCModule() override;

    QString moduleName() const;
    KCMOS::StateWidget *stateWidget() const;
    KCMOS::MessagesManager *messagesManager() const;

public Q_SLOTS:
    void load() override;
    void save() override;
    virtual void access();
    virtual void change();
    virtual void chooseModule();
    virtual void unchooseModule();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeFrameworkArea();

    QString m_moduleName;
    QWidget *m_frameworkArea;
    MessagesManager *m_messagesManager;
    StateWidget *m_stateWidget;
};
}
