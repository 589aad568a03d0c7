#include "orliskcmodule.h"

#include "messagesmanager.h"
#include "statewidget.h"

#include <QBoxLayout>
#include <QShowEvent>

namespace KCMOS
{
OrlisKCModule::OrlisKCModule(const QString &moduleName, QWidget *parent, const QVariantList &args)
    : KCModule(parent, args)
    , m_moduleName(moduleName)
    , m_frameworkArea(new QWidget(this))
    , m_messagesManager(new MessagesManager(m_frameworkArea))
    , m_stateWidget(new StateWidget(m_frameworkArea))
{
    m_frameworkArea->setObjectName(QStringLiteral("frameworkArea"));
    auto areaLayout = new QVBoxLayout(m_frameworkArea);
    areaLayout->setContentsMargins(0, 0, 0, 0);
    areaLayout->addWidget(m_messagesManager);
    areaLayout->addWidget(m_stateWidget);
}

OrlisKCModule::~OrlisKCModule() = default;

QString OrlisKCModule::moduleName() const
{
    return m_moduleName;
}

StateWidget *OrlisKCModule::stateWidget() const
{
    return m_stateWidget;
}

MessagesManager *OrlisKCModule::messagesManager() const
{
    return m_messagesManager;
}

void OrlisKCModule::load()
{
    access();
}

void OrlisKCModule::save()
{
    change();
}

void OrlisKCModule::access()
{
}

void OrlisKCModule::change()
{
}

// Hosts with a module list call these when the module is picked or left; a module
// shown on its own needs nothing from them.
void OrlisKCModule::chooseModule()
{
}

void OrlisKCModule::unchooseModule()
{
}

void OrlisKCModule::showEvent(QShowEvent *event)
{
    placeFrameworkArea();
    KCModule::showEvent(event);
}

void OrlisKCModule::resizeEvent(QResizeEvent *event)
{
    KCModule::resizeEvent(event);
}

// The module sets its own layout; the message area goes on top of it.
void OrlisKCModule::placeFrameworkArea()
{
    auto box = qobject_cast<QBoxLayout *>(layout());
    if (box && box->indexOf(m_frameworkArea) < 0) {
        box->insertWidget(0, m_frameworkArea);
    }
}
}
