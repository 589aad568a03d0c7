#include "helperbackend.h"

#include "kauthhelperjob.h"

#include <KAuth/Action>

namespace {
class KAuthBackend : public HelperBackend
{
public:
    HelperJob *execute(const KAuth::Action &action) override { return new KAuthHelperJob(action); }
};

KAuthBackend s_kauthBackend;
HelperBackend *s_current = &s_kauthBackend;
}

HelperBackend::~HelperBackend() = default;

HelperBackend *HelperBackend::current()
{
    return s_current;
}

void HelperBackend::setCurrent(HelperBackend *backend)
{
    s_current = backend ? backend : &s_kauthBackend;
}
