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

// Unavailable: this folder will not do.
InstanceLockResult lockIn(const QByteArray& folder, const QByteArray& name, bool closed)
{
    const UniqueFd dir = openPrivateFolder(folder, closed);
    if (!dir.isValid())
        return InstanceLockResult::Unavailable;
    UniqueFd lock = openFileAt(dir.get(), name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    // A lock file made before the folder turned read-only still locks: flock needs no write.
    if (!lock.isValid() && (errno == EROFS || errno == EACCES))
        lock = openFileAt(dir.get(), name.constData(), O_RDONLY | O_NOFOLLOW);
    struct stat info
    {
    };
    if (!lock.isValid() || ::fstat(lock.get(), &info) != 0)
        return InstanceLockResult::Unavailable;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        errno = EACCES;
        return InstanceLockResult::Unavailable;
    }
    if (retryOnInterrupt([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0)
        return errno == EWOULDBLOCK ? InstanceLockResult::HeldElsewhere
                                    : InstanceLockResult::Unavailable;
    // The descriptor stays open for the life of the process: closing it would free the lock.
    lock.release();
    return InstanceLockResult::Acquired;
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
        const InstanceLockResult attempt = lockIn(folder, name, true);
        if (attempt != InstanceLockResult::Unavailable)
            return attempt;
    }
    return InstanceLockResult::Unavailable;
}

InstanceLockResult acquireQueueLock(QByteArray dataFolder)
{
    while (dataFolder.size() > 1 && dataFolder.endsWith('/'))
        dataFolder.chop(1);
    return lockIn(dataFolder, "queue.lock", false);
}

InstanceLockResult acquireInstanceLock(const QByteArray& name, const QByteArray& folder)
{
    return acquireInstanceLock(name, folder.isEmpty() ? instanceLockFolders()
                                                      : QList<QByteArray>{folder});
}

} // namespace tovilo
