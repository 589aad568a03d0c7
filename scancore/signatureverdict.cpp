#include "signatureverdict.h"

#include <KLocalizedString>

namespace {
const char Domain[] = "orlis_kcm_digsig";

SignatureVerdict::Verdict single(SignatureVerdict::State state)
{
    switch (state) {
    case SignatureVerdict::Good:
        return SignatureVerdict::Runs;
    case SignatureVerdict::Unknown:
        return SignatureVerdict::Undecided;
    default:
        return SignatureVerdict::Refused;
    }
}
}

SignatureVerdict::Verdict SignatureVerdict::judge(State elf, State xattr, VerificationModeId mode)
{
    switch (mode) {
    case VerificationModeId::OnlyElf:
        return single(elf);
    case VerificationModeId::OnlyXattr:
        return single(xattr);
    case VerificationModeId::Fallback:
        // The first signature found decides, good or not.
        return elf == Missing ? single(xattr) : single(elf);
    case VerificationModeId::Any:
        if (elf == Good || xattr == Good) {
            return Runs;
        }
        return elf == Unknown || xattr == Unknown ? Undecided : Refused;
    case VerificationModeId::All:
        if (single(elf) == Refused || single(xattr) == Refused) {
            return Refused;
        }
        return elf == Good && xattr == Good ? Runs : Undecided;
    default:
        return Undecided;
    }
}

QString SignatureVerdict::stateText(State state)
{
    switch (state) {
    case Missing:
        return i18nd(Domain, "none");
    case Bad:
        return i18nd(Domain, "bad");
    case Good:
        return i18nd(Domain, "good");
    default:
        return i18nd(Domain, "unknown");
    }
}

QString SignatureVerdict::verdictText(Verdict verdict)
{
    switch (verdict) {
    case Runs:
        return i18nd(Domain, "runs");
    case Refused:
        return i18nd(Domain, "refused");
    default:
        return i18nd(Domain, "cannot tell");
    }
}
