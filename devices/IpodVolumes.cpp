#include "devices/IpodVolumes.h"

#include "platform/PathText.h"

#include <gpod/itdb.h>

#include <algorithm>
#include <sys/stat.h>

namespace tovilo {

namespace {

// Owned by the user or root, writable by nobody else.
bool ownedSafely(const struct stat& info, uid_t uid)
{
    return (info.st_uid == uid || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

std::optional<IpodVolume> checkIpodVolume(const MountedVolume& volume, uid_t uid)
{
    // The mount table alone decides whether the volume is looked at at all.
    if (!volume.source.startsWith("/dev/") || !isLocalDiskFileSystem(volume.fsType) ||
        !volume.mountPoint.startsWith('/'))
        return std::nullopt;

    struct stat root;
    if (lstat(volume.mountPoint.constData(), &root) != 0 || !S_ISDIR(root.st_mode) ||
        root.st_dev != volume.device || !ownedSafely(root, uid))
        return std::nullopt;

    // libgpod finds the folder whatever its letter case; that is the one it will write to.
    gchar* found = itdb_get_control_dir(volume.mountPoint.constData());
    if (!found)
        return std::nullopt;
    const QByteArray controlDir = found;
    g_free(found);
    struct stat control;
    if (controlDir != volume.mountPoint + '/' + extractFileName(controlDir) ||
        lstat(controlDir.constData(), &control) != 0 || !S_ISDIR(control.st_mode) ||
        control.st_dev != root.st_dev || !ownedSafely(control, uid))
        return std::nullopt;
    return IpodVolume{volume, controlDir};
}

std::optional<IpodVolume> chooseIpodVolume(const QList<MountedVolume>& volumes, uid_t uid)
{
    // Mount order changes with plugging order; the path does not.
    QList<MountedVolume> sorted = volumes;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.mountPoint < b.mountPoint; });
    for (const MountedVolume& volume : std::as_const(sorted)) {
        if (std::optional<IpodVolume> ipod = checkIpodVolume(volume, uid))
            return ipod;
    }
    return std::nullopt;
}

} // namespace tovilo
