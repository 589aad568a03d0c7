#include "digsighelper.h"

#include <KAuth/HelperSupport>

KAUTH_HELPER_MAIN("ru.orlis.kcm.digsig", DigsigHelper)
