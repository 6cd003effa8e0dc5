#pragma once

#include <QByteArray>

namespace tovilo {

// One instance per session: an exclusive lock on a file named after the guard in the session's
// runtime folder. The lock is held until the process ends, so a killed instance frees it.
enum class InstanceLockResult {
    Acquired,       // this process now holds the lock
    HeldElsewhere,  // another process holds it
    Unavailable,    // the lock file could not be made; run unguarded
};

// runtimeDir: empty to use $XDG_RUNTIME_DIR, or a per-user folder under /tmp when unset.
InstanceLockResult acquireInstanceLock(const QByteArray& name, QByteArray runtimeDir = QByteArray());

} // namespace tovilo
