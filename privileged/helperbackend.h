#pragma once

namespace KAuth {
class Action;
}
class HelperJob;

// Runs privileged actions. The default backend hands them to KAuth; tests install one
// that scripts the helper's answers and records what was asked.
class HelperBackend
{
public:
    virtual ~HelperBackend();

    // Creates the job of the action in execute mode; the caller starts it or exec()s it.
    virtual HelperJob *execute(const KAuth::Action &action) = 0;

    static HelperBackend *current();
    // Installs a backend (not owned); nullptr restores the KAuth backend.
    static void setCurrent(HelperBackend *backend);
};
