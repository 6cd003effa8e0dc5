#include "oscore/OwnFile.h"

#include "oscore/Fd.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace tovilo {

namespace {

// A name no other writer picks: hidden, with this process and a counter in it.
std::string asideName(const char* name)
{
    static std::atomic<unsigned> counter{0};
    return "." + std::string(name).substr(0, 100) + ".removing-" + std::to_string(::getpid()) +
           "-" + std::to_string(counter++);
}

} // namespace

namespace detail {

OwnRemoval removeIfOurs(int dir, const char* name, bool (*ours)(const struct stat&, void*),
                        void* context)
{
    struct stat st = {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? OwnRemoval::Gone : OwnRemoval::Failed;
    if (S_ISDIR(st.st_mode) || !ours(st, context))
        return OwnRemoval::NotOurs;
    const std::string aside = asideName(name);
    if (::renameat2(dir, name, dir, aside.c_str(), RENAME_NOREPLACE) != 0)
        return errno == ENOENT ? OwnRemoval::Gone : OwnRemoval::Failed;
    // What was moved is what is judged; it may not be what was looked at above.
    if (::fstatat(dir, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
        ours(st, context)) {
        if (::unlinkat(dir, aside.c_str(), 0) == 0)
            return OwnRemoval::Removed;
        const int error = errno;
        ::renameat2(dir, aside.c_str(), dir, name, RENAME_NOREPLACE);
        errno = error;
        return OwnRemoval::Failed;
    }
    // Back where it was; should yet another file have taken the name, it stays aside, kept.
    ::renameat2(dir, aside.c_str(), dir, name, RENAME_NOREPLACE);
    return OwnRemoval::NotOurs;
}

} // namespace detail

OwnRemoval removeIfSame(int dir, const char* name, dev_t device, ino_t inode)
{
    return removeIfOurs(dir, name, [&](const struct stat& st) {
        return st.st_dev == device && st.st_ino == inode;
    });
}

OwnRemoval removeIfSame(const char* path, dev_t device, ino_t inode)
{
    const std::string text(path);
    const std::size_t slash = text.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : text.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return OwnRemoval::NotOurs;
    const UniqueFd dir = openFile(folder.c_str(), O_PATH | O_DIRECTORY);
    if (!dir.isValid())
        return errno == ENOENT ? OwnRemoval::Gone : OwnRemoval::Failed;
    return removeIfSame(dir.get(), name.c_str(), device, inode);
}

Replacement replaceIfSame(int dir, const char* from, const char* to, dev_t device, ino_t inode)
{
    if (::renameat2(dir, from, dir, to, RENAME_EXCHANGE) == 0) {
        // `from` names what stood at `to` now.
        const OwnRemoval removal = removeIfSame(dir, from, device, inode);
        if (removal == OwnRemoval::Removed || removal == OwnRemoval::Gone)
            return Replacement::Replaced;
        const int error = errno;
        ::renameat2(dir, from, dir, to, RENAME_EXCHANGE);
        errno = error;
        return removal == OwnRemoval::NotOurs ? Replacement::NotOurs : Replacement::Failed;
    }
    if (errno == ENOENT)
        return Replacement::NotOurs;
    if (errno != EINVAL && errno != ENOSYS)
        return Replacement::Failed;
    struct stat st = {};
    if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Replacement::NotOurs : Replacement::Failed;
    if (!S_ISREG(st.st_mode) || st.st_dev != device || st.st_ino != inode)
        return Replacement::NotOurs;
    return ::renameat(dir, from, dir, to) == 0 ? Replacement::Replaced : Replacement::Failed;
}

int makeTempFile(std::string& pattern)
{
    return retryOnInterrupt([&] { return ::mkostemp(pattern.data(), O_CLOEXEC); });
}

} // namespace tovilo
