#include "platform/InstanceLock.h"

#include "oscore/Fd.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovilo {

namespace {

enum class Attempt
{
    Acquired,
    HeldElsewhere,
    Unsafe
};

Attempt lockIn(const QByteArray& folder, const QByteArray& name, bool closed)
{
    const UniqueFd dir = openPrivateFolder(folder, closed);
    if (!dir.isValid())
        return Attempt::Unsafe;
    UniqueFd lock = openFileAt(dir.get(), name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    // A lock file made before the folder turned read-only still locks: flock needs no write.
    if (!lock.isValid() && (errno == EROFS || errno == EACCES))
        lock = openFileAt(dir.get(), name.constData(), O_RDONLY | O_NOFOLLOW);
    struct stat info
    {
    };
    if (!lock.isValid() || ::fstat(lock.get(), &info) != 0)
        return Attempt::Unsafe;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        errno = EACCES;
        return Attempt::Unsafe;
    }
    if (retryOnInterrupt([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0)
        return errno == EWOULDBLOCK ? Attempt::HeldElsewhere : Attempt::Unsafe;
    // The descriptor stays open for the life of the process: closing it would free the lock.
    lock.release();
    return Attempt::Acquired;
}

} // namespace

QList<QByteArray> instanceLockFolders()
{
    QList<QByteArray> folders;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/')
        folders << QByteArray(runtime);
    folders << "/tmp/tovilo-" + QByteArray::number(::getuid());
    const QByteArray cache = userCacheFolder();
    if (!cache.isEmpty())
        folders << cache + "/tovilo";
    return folders;
}

InstanceLockResult acquireInstanceLock(const QByteArray& name, const QList<QByteArray>& folders)
{
    for (const QByteArray& folder : folders) {
        switch (lockIn(folder, name, true)) {
        case Attempt::Acquired:
            return InstanceLockResult::Acquired;
        case Attempt::HeldElsewhere:
            return InstanceLockResult::HeldElsewhere;
        case Attempt::Unsafe:
            break;
        }
    }
    return InstanceLockResult::Unavailable;
}

InstanceLockResult acquireQueueLock(QByteArray dataFolder)
{
    while (dataFolder.size() > 1 && dataFolder.endsWith('/'))
        dataFolder.chop(1);
    switch (lockIn(dataFolder, "queue.lock", false)) {
    case Attempt::Acquired:
        return InstanceLockResult::Acquired;
    case Attempt::HeldElsewhere:
        return InstanceLockResult::HeldElsewhere;
    case Attempt::Unsafe:
        break;
    }
    return InstanceLockResult::Unavailable;
}

InstanceLockResult acquireInstanceLock(const QByteArray& name, const QByteArray& folder)
{
    return acquireInstanceLock(name, folder.isEmpty() ? instanceLockFolders()
                                                      : QList<QByteArray>{folder});
}

} // namespace tovilo
