#pragma once

#include "kcmss_export.h"

#include <kcmos/orliskcmodule.h>

namespace KCMSS
{
// Base of the security settings modules.
class KCMSS_EXPORT SecurityKCModule : public KCMOS::OrlisKCModule
{
    Q_OBJECT
public:
    SecurityKCModule(const QString &moduleName, QWidget *parent, const QVariantList &args);
    ~SecurityKCModule() override;

    void setResetButtonVisible(bool visible);
};
}
