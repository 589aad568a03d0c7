#pragma once

#include "digsigsettingsdata.h"

#include <QString>

// What enforcement would make of a file, from what is known of its two signatures and the
// kernel's verification mode. Detached signatures are not looked at.
class SignatureVerdict
{
public:
    enum State : quint8 {
        Unknown, // not checked, or the check said nothing
        Missing,
        Bad, // there, but it does not verify: a changed file or an unknown key
        Good,
    };
    enum Verdict : quint8 {
        Runs,
        Refused,
        Undecided, // a signature it depends on is unknown
    };

    static Verdict judge(State elf, State xattr, VerificationModeId mode);
    static QString stateText(State state);
    static QString verdictText(Verdict verdict);
};
