#include "platform/FileSystem.h"

#include "oscore/Fd.h"
#include "platform/PathText.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
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

bool nameTaken(const QByteArray& path)
{
    // lstat: a link is taken whatever it points to. A name that cannot be looked at (folder
    // missing or closed) is left for the reservation to fail on with the real reason.
    struct stat info
    {
    };
    return usable(path) && ::lstat(path.constData(), &info) == 0;
}

int reserveNewFile(const QByteArray& path)
{
    if (!usable(path))
        return errno;
    const UniqueFd fd = openFile(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    return fd.isValid() ? 0 : errno;
}

qsizetype fileNameLimit(const QByteArray& path)
{
    const qsizetype delimiter = lastDelimiter(path);
    const QByteArray folder = delimiter < 0 ? QByteArray(".") : path.left(delimiter + 1);
    const long limit = usable(folder) ? ::pathconf(folder.constData(), _PC_NAME_MAX) : -1;
    return limit > 0 ? limit : NAME_MAX;
}

} // namespace tovilo
