#include "platform/FileSystem.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace tovilo {

namespace {

// A path with a NUL byte would reach the C library cut short and name another file.
bool usable(const QByteArray& path)
{
    if (!path.contains('\0'))
        return true;
    errno = EINVAL;
    return false;
}

bool statPath(const QByteArray& path, struct stat& info)
{
    return usable(path) && ::stat(path.constData(), &info) == 0;
}

} // namespace

bool pathExists(const QByteArray& path)
{
    struct stat info
    {
    };
    return statPath(path, info);
}

bool fileExists(const QByteArray& path)
{
    struct stat info
    {
    };
    return statPath(path, info) && !S_ISDIR(info.st_mode);
}

bool makeDirectory(const QByteArray& path)
{
    return usable(path) && ::mkdir(path.constData(), 0777) == 0;
}

bool removeFile(const QByteArray& path)
{
    return usable(path) && ::unlink(path.constData()) == 0;
}

} // namespace tovilo
