#include "oscore/FileInfo.h"

#include "oscore/Fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <memory>

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

std::vector<std::string> folderNames(const std::string& folder, size_t most)
{
    std::vector<std::string> names;
    UniqueFd fd = openFile(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (!fd.isValid())
        return names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd.get()), ::closedir);
    if (!dir)
        return names;
    fd.release(); // the listing owns it now
    while (names.size() < most) {
        const dirent* entry = ::readdir(dir.get());
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

} // namespace tovilo
