#pragma once

#include "helperresult.h"

class HelperEnvironment;

/**
 * The "update_only" action: runs the boot image update, which rebuilds the kernel's
 * boot-time verification list, in a process group of its own that a time-out kills whole,
 * one run at a time. Each output line starting with "W: " goes to the caller as a
 * "warning" record; a non-zero exit fails with the "E: " lines (or the last output line).
 */
class BootListUpdater
{
public:
    /** Longest run accepted before the update is stopped, below the caller's own timeout. */
    static constexpr int MaxRunMilliseconds = 470000;
    /** Longest wait for an earlier update, and all it started, to end. */
    static constexpr int MaxLockWaitMilliseconds = 5000;

    /** @p alive is called at least once a second while the update runs. */
    static HelperResult update(
        const HelperEnvironment &environment,
        const ProgressCallback &progress,
        const Heartbeat &alive = [] {});
};
