#include "helpercall.h"

#include "helperactivity.h"
#include "helperbackend.h"
#include "helperjob.h"

const QString HelperCall::DigsigNamespace = QStringLiteral("ru.orlis.kcm.digsig");
const QString HelperCall::SecuritySettingsNamespace = QStringLiteral("ru.orlis.kcm.securitysettings");

KAuth::Action HelperCall::action(const QString &namePattern, const QString &helperNamespace, int timeout)
{
    KAuth::Action action(namePattern.arg(helperNamespace));
    action.setHelperId(helperNamespace);
    if (timeout != DefaultTimeout) {
        action.setTimeout(timeout);
    }
    return action;
}

HelperJob *HelperCall::execute(const KAuth::Action &action)
{
    HelperJob *job = HelperBackend::current()->execute(action);
    HelperActivity::instance()->noteCall(job, action.helperId());
    return job;
}

HelperJob *HelperCall::executeLong(const KAuth::Action &action, const QString &description)
{
    HelperJob *job = execute(action);
    job->setSilenceLimit(HelperJob::LongActionSilenceLimit);
    HelperActivity::instance()->trackLongAction(job, action.helperId(), description);
    return job;
}
