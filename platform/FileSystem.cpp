#include "platform/FileSystem.h"

#include "oscore/Fd.h"
#include "oscore/OwnFile.h"
#include "platform/PathText.h"
#include "protocol/PartialOutput.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
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

qint64 nanoseconds(const timespec& time)
{
    return static_cast<qint64>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// lib/ffmpeg's partial file beside a reserved output. The name is its alone and a file under it
// is never complete (it is renamed away when it is); still only a plain file of ours goes.
OwnRemoval removePartial(int dir, ino_t reservedInode)
{
    const uid_t me = ::geteuid();
    const std::string partial = partialOutputName(reservedInode);
    return removeIfOurs(dir, partial.c_str(), [&](const struct stat& st) {
        return S_ISREG(st.st_mode) && st.st_uid == me && st.st_nlink == 1;
    });
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
    facts.links = static_cast<qint64>(info.st_nlink);
    facts.modifiedNs = nanoseconds(info.st_mtim);
    facts.othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    facts.othersMayRead = (info.st_mode & S_IROTH) != 0;
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

std::optional<QList<QByteArray>> folderEntries(const QByteArray& path)
{
    if (!usable(path))
        return std::nullopt;
    UniqueFd fd = openFile(path.constData(), O_RDONLY | O_DIRECTORY);
    DIR* folder = fd.isValid() ? ::fdopendir(fd.get()) : nullptr;
    if (folder == nullptr)
        return std::nullopt;
    fd.release(); // closedir closes it
    QList<QByteArray> names;
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    const int error = errno;
    ::closedir(folder);
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    return names;
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

int replaceFile(const QByteArray& path, QByteArrayView bytes, mode_t mode)
{
    if (!usable(path))
        return errno;
    const qsizetype delimiter = lastDelimiter(path);
    const QByteArray folder = delimiter < 0 ? QByteArray("./") : path.left(delimiter + 1);
    std::string pattern =
        folder.toStdString() + "." + path.mid(delimiter + 1).left(64).toStdString() + ".XXXXXX";
    // Close-on-exec: a child started meanwhile by another thread must not hold the new file.
    const int fd = makeTempFile(pattern);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::fchmod(fd, mode) != 0 ||
        !writeAll(fd, std::string_view(bytes.data(), size_t(bytes.size()))) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(pattern.c_str(), path.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(pattern.c_str());
        return error;
    }
    // The new name lasts a power cut only once the folder is on disk too.
    const UniqueFd dir = openFile(folder.constData(), O_RDONLY | O_DIRECTORY);
    if (dir.isValid())
        ::fsync(dir.get());
    return 0;
}

mode_t newFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

QByteArray userCacheFolder()
{
    QByteArray cache = qgetenv("XDG_CACHE_HOME");
    if (!cache.startsWith('/')) {
        const QByteArray home = qgetenv("HOME");
        cache = home.startsWith('/') ? home + "/.cache" : QByteArray();
    }
    // Its parent may not exist yet on a new account; a failure shows where it is used.
    if (!cache.isEmpty() && usable(cache))
        ::mkdir(cache.constData(), 0700);
    return cache;
}

UniqueFd openPrivateFolder(const QByteArray& path, bool closed)
{
    if (!usable(path) || (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST))
        return UniqueFd();
    UniqueFd fd = openFile(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    struct stat info
    {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0)
        return UniqueFd();
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (closed ? 077 : 022)) != 0) {
        errno = EACCES;
        return UniqueFd();
    }
    return fd;
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
    // A run stopped by a kill leaves lib/ffmpeg's partial file too.
    removePartial(m_folder.get(), m_inode);
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

InterruptedOutput removeInterruptedOutput(const QByteArray& output, dev_t device, ino_t inode,
                                          qint64 modifiedNs)
{
    InterruptedOutput result;
    if (!usable(output) || inode == 0)
        return result;
    const qsizetype delimiter = lastDelimiter(output);
    const QByteArray folder = delimiter < 0 ? QByteArray(".") : output.left(delimiter + 1);
    const QByteArray name = output.mid(delimiter + 1);
    const UniqueFd dir = openFile(folder.constData(), O_PATH | O_DIRECTORY);
    if (!dir.isValid() || name.isEmpty() || name == "." || name == "..")
        return result;
    const OwnRemoval partialRemoval = removePartial(dir.get(), inode);
    result.partialRemoved = partialRemoval == OwnRemoval::Removed;
    if (partialRemoval == OwnRemoval::NotOurs || partialRemoval == OwnRemoval::Failed)
        result.left = folder + QByteArray::fromStdString(partialOutputName(inode));
    // Only an empty file, and only the very one reserved: a finished output or a file that
    // took the name or the inode since has content or another time.
    const OwnRemoval reservation =
        removeIfOurs(dir.get(), name.constData(), [&](const struct stat& st) {
            return S_ISREG(st.st_mode) && st.st_size == 0 && st.st_dev == device &&
                   st.st_ino == inode && modifiedNs != 0 && nanoseconds(st.st_mtim) == modifiedNs;
        });
    result.reservationRemoved = reservation == OwnRemoval::Removed;
    if (!result.reservationRemoved && result.left.isEmpty()) {
        const std::optional<FileFacts> facts = pathFacts(output, Links::Keep);
        if (facts && facts->kind == FileFacts::Kind::File && facts->size == 0)
            result.left = output;
    }
    return result;
}

qsizetype fileNameLimit(const QByteArray& path)
{
    const qsizetype delimiter = lastDelimiter(path);
    const QByteArray folder = delimiter < 0 ? QByteArray(".") : path.left(delimiter + 1);
    const long limit = usable(folder) ? ::pathconf(folder.constData(), _PC_NAME_MAX) : -1;
    return limit > 0 ? limit : NAME_MAX;
}

} // namespace tovilo
