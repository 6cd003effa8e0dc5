#pragma once

#include "oscore/Fd.h"

#include <QByteArray>
#include <QList>

#include <optional>
#include <sys/types.h>

// Files and folders by path, for the layers above that must not call the C library directly.
// Paths are byte strings in the system code page. A function that fails returns false and
// leaves errno as the failing call set it.
namespace tovilo {

// What stands at a path or behind a descriptor, for the layers above that judge a file by it.
struct FileFacts
{
    enum class Kind
    {
        File, // a regular file
        Folder,
        Link, // only when the link is kept
        Other,
    };
    Kind kind = Kind::Other;
    qint64 size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner = 0;
    qint64 links = 0;
    qint64 modifiedNs = 0;       // since the epoch
    bool othersMayWrite = false; // its group or anyone else may write to it
    bool othersMayRead = false;  // anyone may read it (a folder: list it)
};

enum class Links
{
    Follow,
    Keep, // a link is described itself, not what it leads to
};

// Nothing (errno set) when nothing can be looked at there.
std::optional<FileFacts> pathFacts(const QByteArray& path, Links links = Links::Follow);
std::optional<FileFacts> descriptorFacts(int fd);

// The names in a folder, as bytes, without "." and "..": nothing (errno set) when it cannot
// be read.
std::optional<QList<QByteArray>> folderEntries(const QByteArray& path);

// Something exists at `path` (a link is followed).
bool pathExists(const QByteArray& path);
// Something that is not a folder exists at `path` (a link is followed).
bool fileExists(const QByteArray& path);

// Puts `bytes` at `path` in one step: written beside it under a temporary name, synced, renamed
// over it and the folder synced, so a crash leaves either the old file or the new one, whole.
// The file gets `mode`. Returns 0 or the errno of the step that failed; nothing is left behind.
int replaceFile(const QByteArray& path, QByteArrayView bytes, mode_t mode);
// Mode 0666 less the process's umask: what a new file gets.
mode_t newFileMode();

// The user's cache folder ($XDG_CACHE_HOME, else ~/.cache), made when missing; empty when
// neither is known.
QByteArray userCacheFolder();
// Opens a folder of this user's that nobody else may change, making it (mode 0700) when
// missing: no link, owned by the user, writable by no one else. Invalid otherwise. With
// `closed`, nobody else may even look into it.
UniqueFd openPrivateFolder(const QByteArray& path, bool closed = true);

// Creates one folder (not its parents) with mode 0777 less the umask.
bool makeDirectory(const QByteArray& path);
// Removes a file or a link, never a folder.
bool removeFile(const QByteArray& path);

// Output files: a name is taken by anything that stands there, and a chosen name is claimed
// before anything is written, so no output goes through a link or into a file another
// program or job is writing.

// Anything stands at `path`: a file, a folder, a link (a dangling one too).
bool nameTaken(const QByteArray& path);
// A file this program made, known by its folder (opened when the file was made) and by its
// device and inode: it is removed (with lib/ffmpeg's partial file beside it) only while its name
// in that folder still leads to that very file. A folder renamed away and replaced by a link to
// another, or a file put at the name meanwhile, is never what gets removed.
class OwnedFile
{
public:
    enum class Removal
    {
        Removed,
        Gone,    // nothing of it at its name any more
        NotOurs, // the name leads elsewhere now: left alone
        Failed,  // errno set
    };

    // Creates the file empty (mode 0666 less the umask), failing with EEXIST when anything
    // stands at the path, a link included, so two writers never get the same name, and
    // remembers it. Returns 0 or an errno.
    int reserve(const QByteArray& path);
    bool isValid() const { return m_folder.isValid(); }
    const QByteArray& path() const { return m_path; }
    Removal remove() const;
    void forget();

private:
    UniqueFd m_folder;
    QByteArray m_path;
    QByteArray m_name;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

// What became of the output of a conversion that was cut short by the program's end, given
// the output's path and the device, inode and modification time of the empty file reserved at
// it. The partial file lib/ffmpeg was writing (under a name made from that inode, in the same
// folder) goes when it is a regular file of this user's with no other name; the reservation
// goes only while it is still empty and exactly the file reserved. Anything else stays.
struct InterruptedOutput
{
    bool partialRemoved = false;
    bool reservationRemoved = false;
    QByteArray left; // what could be a leftover but was kept, in doubt
};
InterruptedOutput removeInterruptedOutput(const QByteArray& output, dev_t device, ino_t inode,
                                          qint64 modifiedNs);

// The longest file name, in bytes, the folder of `path` takes (NAME_MAX when it cannot be
// asked).
qsizetype fileNameLimit(const QByteArray& path);

} // namespace tovilo
