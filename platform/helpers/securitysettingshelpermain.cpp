#include "securitysettingshelper.h"

#include <KAuth/HelperSupport>

KAUTH_HELPER_MAIN("ru.orlis.kcm.securitysettings", SecuritySettingsHelper)
