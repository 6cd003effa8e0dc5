#pragma once

#include <QByteArray>
#include <QList>

namespace tovilo {

// One instance per session: an exclusive lock on a file named after the guard in a private
// folder of the user's. The lock is held until the process ends, so a killed instance frees it.
enum class InstanceLockResult
{
    Acquired,      // this process now holds the lock
    HeldElsewhere, // another process holds it
    Unavailable,   // no safe place for the lock file; run unguarded
};

// Where the lock may live, in the order tried: $XDG_RUNTIME_DIR, /tmp/tovilo-<uid>, then
// tovilo in the user's cache folder. The order is fixed, so every instance started in the same
// session settles on the same folder.
QList<QByteArray> instanceLockFolders();

// Takes the lock in the first of `folders` that is safe: a folder (made with mode 0700 when
// missing) that is no link, belongs to the user and is closed to everybody else.
InstanceLockResult acquireInstanceLock(const QByteArray& name, const QList<QByteArray>& folders);
// The lock that goes with the kept queue: "queue.lock" in the data folder (a folder of the
// user's that nobody else may change), so that whatever the session's environment, two
// instances never keep one queue. Unavailable with errno set when the folder is not safe or
// not writable.
InstanceLockResult acquireQueueLock(QByteArray dataFolder);
// folder: empty for instanceLockFolders().
InstanceLockResult acquireInstanceLock(const QByteArray& name,
                                       const QByteArray& folder = QByteArray());

} // namespace tovilo
