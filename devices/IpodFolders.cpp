#include "devices/IpodFolders.h"

#include "devices/MediaLibraryFactory.h"
#include "oscore/Fd.h"
#include "platform/FileSystem.h"

#include <QList>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

namespace tovilo {

namespace {

// The entry of the folder whose name matches without regard to case, as libgpod finds it;
// the name itself when there is none.
QByteArray entryNamed(int folder, const QByteArray& name)
{
    UniqueFd listing = openFileAt(folder, ".", O_RDONLY | O_DIRECTORY);
    DIR* dir = listing.isValid() ? fdopendir(listing.get()) : nullptr;
    if (dir == nullptr)
        return name;
    listing.release();
    QByteArray found = name;
    while (const dirent* entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name.constData()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The folder `name` inside `parent`, made when missing; refused when it leads anywhere but
// into a folder of the same file system.
UniqueFd enter(int parent, dev_t device, const QByteArray& name, const QByteArray& shown)
{
    const QByteArray real = entryNamed(parent, name);
    if (mkdirat(parent, real.constData(), 0777) != 0 && errno != EEXIST)
        throw MediaError(
            MediaFailure::WriteFailed,
            QStringLiteral("Cannot make %1 on the iPod.").arg(QString::fromUtf8(shown + real)));
    UniqueFd folder = openFileAt(parent, real.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    const std::optional<FileFacts> facts =
        folder.isValid() ? descriptorFacts(folder.get()) : std::nullopt;
    if (!facts || facts->kind != FileFacts::Kind::Folder || facts->device != device)
        throw MediaError(MediaFailure::ForeignFolder,
                         QStringLiteral("%1 on the iPod leads off the device.")
                             .arg(QString::fromUtf8(shown + real)));
    return folder;
}

} // namespace

void checkIpodFolders(const QByteArray& mountPoint, const QByteArray& controlDir, int musicFolders)
{
    const UniqueFd root = openFile(mountPoint.constData(), O_RDONLY | O_DIRECTORY);
    const std::optional<FileFacts> facts =
        root.isValid() ? descriptorFacts(root.get()) : std::nullopt;
    if (!facts)
        throw MediaError(MediaFailure::NoDevice, QStringLiteral("The iPod cannot be opened."));
    const dev_t device = facts->device;

    // The control folder as libgpod found it, one step at a time below the mount point.
    QByteArray relative = controlDir.startsWith(mountPoint) ? controlDir.mid(mountPoint.size())
                                                            : QByteArray("iPod_Control");
    UniqueFd control;
    QByteArray shown;
    for (const QByteArray& step : relative.split('/')) {
        if (step.isEmpty())
            continue;
        control = enter(control.isValid() ? control.get() : root.get(), device, step, shown);
        shown += step + '/';
    }
    if (!control.isValid())
        throw MediaError(MediaFailure::NoDevice, QStringLiteral("The iPod has no control folder."));
    for (const char* name : {"iTunes", "Artwork", "Device"})
        enter(control.get(), device, name, shown);
    const UniqueFd music = enter(control.get(), device, "Music", shown);
    for (int n = 0; n < musicFolders; ++n)
        enter(music.get(), device, QByteArray("F") + QByteArray::number(n).rightJustified(2, '0'),
              shown + "Music/");
}

} // namespace tovilo
