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

FileFacts factsOf(const struct stat& info)
{
    FileFacts facts;
    facts.kind = S_ISREG(info.st_mode)   ? FileFacts::Kind::File
                 : S_ISDIR(info.st_mode) ? FileFacts::Kind::Folder
                 : S_ISLNK(info.st_mode) ? FileFacts::Kind::Link
                                         : FileFacts::Kind::Other;
    facts.size = info.st_size;
    facts.device = info.st_dev;
    facts.inode = info.st_ino;
    facts.owner = info.st_uid;
    facts.othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return facts;
}

} // namespace

std::optional<FileFacts> pathFacts(const QByteArray& path, Links links)
{
    struct stat info
    {
    };
    if (!usable(path))
        return std::nullopt;
    const int result =
        links == Links::Follow ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info);
    if (result != 0)
        return std::nullopt;
    return factsOf(info);
}

std::optional<FileFacts> descriptorFacts(int fd)
{
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return factsOf(info);
}

bool pathExists(const QByteArray& path)
{
    return pathFacts(path).has_value();
}

bool fileExists(const QByteArray& path)
{
    const std::optional<FileFacts> facts = pathFacts(path);
    return facts && facts->kind != FileFacts::Kind::Folder;
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
    return pathFacts(path, Links::Keep).has_value();
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
    const std::optional<FileFacts> facts = fd.isValid() ? descriptorFacts(fd.get()) : std::nullopt;
    if (!facts)
        return errno;
    m_folder = std::move(folderFd);
    m_path = path;
    m_name = name;
    m_device = facts->device;
    m_inode = facts->inode;
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
