#include "platform/InstanceLock.h"

#include "oscore/Fd.h"

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

// Opens a folder without following a link and checks, on what was opened, that it is a
// folder of this user's that nobody else may enter or change.
UniqueFd openPrivateFolder(const QByteArray& folder)
{
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return UniqueFd();
    UniqueFd fd = openFile(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    struct stat info
    {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0)
        return UniqueFd();
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        return UniqueFd();
    return fd;
}

Attempt lockIn(const QByteArray& folder, const QByteArray& name)
{
    const UniqueFd dir = openPrivateFolder(folder);
    if (!dir.isValid())
        return Attempt::Unsafe;
    UniqueFd lock = openFileAt(dir.get(), name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    struct stat info
    {
    };
    if (!lock.isValid() || ::fstat(lock.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::getuid())
        return Attempt::Unsafe;
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
    QByteArray cache = std::getenv("XDG_CACHE_HOME");
    if (!cache.startsWith('/')) {
        const QByteArray home = std::getenv("HOME");
        cache = home.startsWith('/') ? home + "/.cache" : QByteArray();
    }
    if (!cache.isEmpty()) {
        // Its parent may not exist yet on a new account; a failure shows in the attempt.
        ::mkdir(cache.constData(), 0700);
        folders << cache + "/tovilo";
    }
    return folders;
}

InstanceLockResult acquireInstanceLock(const QByteArray& name, const QList<QByteArray>& folders)
{
    for (const QByteArray& folder : folders) {
        switch (lockIn(folder, name)) {
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

InstanceLockResult acquireInstanceLock(const QByteArray& name, const QByteArray& folder)
{
    return acquireInstanceLock(name, folder.isEmpty() ? instanceLockFolders()
                                                      : QList<QByteArray>{folder});
}

} // namespace tovilo
