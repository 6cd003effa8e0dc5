#include "oscore/FileInfo.h"

#include <fcntl.h>

namespace tovilo {

namespace {

std::optional<FileInfo> infoIf(int result, const struct stat& st)
{
    if (result != 0)
        return std::nullopt;
    return FileInfo::of(st);
}

} // namespace

FileInfo FileInfo::of(const struct stat& st)
{
    FileInfo info;
    info.device = st.st_dev;
    info.inode = st.st_ino;
    info.mode = st.st_mode;
    info.size = st.st_size;
    info.links = st.st_nlink;
    info.modified = st.st_mtim;
    info.changed = st.st_ctim;
    return info;
}

std::optional<FileInfo> fileInfo(const char* path)
{
    struct stat st = {};
    return infoIf(::stat(path, &st), st);
}

std::optional<FileInfo> linkInfo(const char* path)
{
    struct stat st = {};
    return infoIf(::lstat(path, &st), st);
}

std::optional<FileInfo> linkInfoAt(int dir, const char* name)
{
    struct stat st = {};
    return infoIf(::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW), st);
}

std::optional<FileInfo> openFileInfo(int fd)
{
    struct stat st = {};
    return infoIf(::fstat(fd, &st), st);
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace tovilo
