#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// What is known of a file by looking at it, without reading it: the one place outside the
// platform layer that asks the kernel about a name or a descriptor. Every look-up gives nothing,
// with errno set, when there is nothing to look at.
namespace tovilo {

struct FileInfo
{
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    off_t size = 0;
    nlink_t links = 0;
    timespec modified = {};
    timespec changed = {}; // the inode's change time, which no program can put back

    static FileInfo of(const struct stat& st);

    bool isRegular() const { return S_ISREG(mode); }
    bool isDirectory() const { return S_ISDIR(mode); }
    bool isLink() const { return S_ISLNK(mode); }
    // The same file, whatever became of its content.
    bool sameFile(const FileInfo& other) const
    {
        return device == other.device && inode == other.inode;
    }
    // The same file, neither resized nor written to since: a rewrite that puts the size and
    // the modification time back still moves the change time.
    bool unchangedSince(const FileInfo& before) const
    {
        return sameFile(before) && size == before.size &&
               modified.tv_sec == before.modified.tv_sec &&
               modified.tv_nsec == before.modified.tv_nsec &&
               changed.tv_sec == before.changed.tv_sec && changed.tv_nsec == before.changed.tv_nsec;
    }
};

// What a path leads to, a link followed.
std::optional<FileInfo> fileInfo(const char* path);
// What stands at a path, a link not followed.
std::optional<FileInfo> linkInfo(const char* path);
// What stands at `name` in the folder open at `dir`, a link not followed.
std::optional<FileInfo> linkInfoAt(int dir, const char* name);
// The file open at `fd`.
std::optional<FileInfo> openFileInfo(int fd);

// The folder a path names its file in: "." for a bare name.
std::string folderOf(const std::string& path);

// The names in a folder (without "." and ".."), at most `most` of them in directory order;
// empty when it cannot be read.
std::vector<std::string> folderNames(const std::string& folder, size_t most);

} // namespace tovilo
