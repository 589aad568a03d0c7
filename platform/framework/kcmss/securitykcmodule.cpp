#include "securitykcmodule.h"

namespace KCMSS
{
SecurityKCModule::SecurityKCModule(const QString &moduleName, QWidget *parent, const QVariantList &args)
    : KCMOS::OrlisKCModule(moduleName, parent, args)
{
    // Security modules have no defaults to restore and no handbook.
    setButtons(Apply);
}

SecurityKCModule::~SecurityKCModule() = default;

// The host shows Reset together with Apply.
void SecurityKCModule::setResetButtonVisible(bool visible)
{
    setButtons(visible ? Apply : NoAdditionalButton);
}
}
