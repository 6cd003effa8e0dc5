#include "platform/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovilo {

namespace {

// A private folder of this user's: created 0700, never a link, never somebody else's.
bool usableFolder(const QByteArray& folder)
{
    struct stat info{};
    if (::lstat(folder.constData(), &info) != 0) {
        if (errno != ENOENT || ::mkdir(folder.constData(), 0700) != 0)
            return false;
        if (::lstat(folder.constData(), &info) != 0)
            return false;
    }
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

QByteArray defaultRuntimeDir()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg == '/') {
        struct stat info{};
        if (::stat(xdg, &info) == 0 && S_ISDIR(info.st_mode))
            return QByteArray(xdg);
    }
    return "/tmp/tovilo-" + QByteArray::number(::getuid());
}

} // namespace

InstanceLockResult acquireInstanceLock(const QByteArray& name, QByteArray runtimeDir)
{
    if (runtimeDir.isEmpty())
        runtimeDir = defaultRuntimeDir();
    if (!usableFolder(runtimeDir))
        return InstanceLockResult::Unavailable;

    const QByteArray path = runtimeDir + '/' + name;
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return InstanceLockResult::Unavailable;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return busy ? InstanceLockResult::HeldElsewhere : InstanceLockResult::Unavailable;
    }
    // The descriptor stays open for the life of the process: closing it would free the lock.
    return InstanceLockResult::Acquired;
}

} // namespace tovilo
