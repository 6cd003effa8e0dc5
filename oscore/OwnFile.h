#pragma once

#include <string>
#include <sys/stat.h>

// Files this program made and may clean up. Every removal of "our" file goes through here, so
// a file that took its name meanwhile is never what gets removed.
namespace tovilo {

enum class OwnRemoval
{
    Removed,
    Gone,    // nothing stands at the name
    NotOurs, // something else stands there now: left alone
    Failed,  // errno set
};

// Removes `name` in the folder open at `dir` when `ours` accepts what stands there (not
// followed if a link). The name is first moved aside in one step and judged there, so nothing
// put at the name between the look and the removal is ever removed; what is not ours is put
// back. Never removes a folder.
template <class Ours> OwnRemoval removeIfOurs(int dir, const char* name, Ours ours);

// The same for a file known by its device and inode.
OwnRemoval removeIfSame(int dir, const char* name, dev_t device, ino_t inode);
// By path: the folder is opened (without following a link at the last step) first.
OwnRemoval removeIfSame(const char* path, dev_t device, ino_t inode);

enum class Replacement
{
    Replaced,
    NotOurs, // `to` leads to another file now: left there
    Failed,  // errno set
};

// Puts the file at `from` in place of the file at `to`, both in the folder open at `dir`, in
// one step and only while `to` is the file known by its device and inode, which then goes.
// The two names are swapped and what was swapped out is judged, so a file put at `to`
// meanwhile is swapped back, never removed. Where the file system cannot swap names (some FAT
// drivers), `to` is looked at and renamed over, which leaves a moment between the two.
Replacement replaceIfSame(int dir, const char* from, const char* to, dev_t device, ino_t inode);

namespace detail {
OwnRemoval removeIfOurs(int dir, const char* name, bool (*ours)(const struct stat&, void*),
                        void* context);
}

template <class Ours> OwnRemoval removeIfOurs(int dir, const char* name, Ours ours)
{
    return detail::removeIfOurs(
        dir, name,
        [](const struct stat& st, void* context) { return (*static_cast<Ours*>(context))(st); },
        &ours);
}

// A new empty file made from `pattern` (ending in "XXXXXX", replaced in place), open for
// writing and close-on-exec, so no child started meanwhile inherits it. -1 with errno on
// failure.
int makeTempFile(std::string& pattern);

} // namespace tovilo
