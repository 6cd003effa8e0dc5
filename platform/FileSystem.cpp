#include "platform/FileSystem.h"

#include "oscore/Fd.h"
#include "oscore/OwnFile.h"
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

int OwnedFile::reserve(const QByteArray& path)
{
    forget();
    if (!usable(path))
        return errno;
    const qsizetype delimiter = lastDelimiter(path);
    const QByteArray folder = delimiter < 0 ? QByteArray(".") : path.left(delimiter + 1);
    const QByteArray name = path.mid(delimiter + 1);
    UniqueFd folderFd = openFile(folder.constData(), O_PATH | O_DIRECTORY);
    if (!folderFd.isValid())
        return errno;
    const UniqueFd fd = openFileAt(folderFd.get(), name.constData(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    struct stat info
    {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0)
        return errno;
    m_folder = std::move(folderFd);
    m_path = path;
    m_name = name;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    return 0;
}

OwnedFile::Removal OwnedFile::remove() const
{
    if (!isValid())
        return Removal::Gone;
    switch (removeIfSame(m_folder.get(), m_name.constData(), m_device, m_inode)) {
    case OwnRemoval::Removed:
        return Removal::Removed;
    case OwnRemoval::Gone:
        return Removal::Gone;
    case OwnRemoval::NotOurs:
        return Removal::NotOurs;
    case OwnRemoval::Failed:
        break;
    }
    return Removal::Failed;
}

void OwnedFile::forget()
{
    m_folder.reset();
    m_path.clear();
    m_name.clear();
    m_device = 0;
    m_inode = 0;
}

qsizetype fileNameLimit(const QByteArray& path)
{
    const qsizetype delimiter = lastDelimiter(path);
    const QByteArray folder = delimiter < 0 ? QByteArray(".") : path.left(delimiter + 1);
    const long limit = usable(folder) ? ::pathconf(folder.constData(), _PC_NAME_MAX) : -1;
    return limit > 0 ? limit : NAME_MAX;
}

} // namespace tovilo
