#include "devices/IpodVolumes.h"

#include "platform/FileSystem.h"
#include "platform/PathText.h"

#include <gpod/itdb.h>

#include <algorithm>

namespace tovilo {

namespace {

// A folder owned by the user or root, writable by nobody else.
bool safeFolder(const std::optional<FileFacts>& facts, uid_t uid)
{
    return facts && facts->kind == FileFacts::Kind::Folder &&
           (facts->owner == uid || facts->owner == 0) && !facts->othersMayWrite;
}

} // namespace

std::optional<IpodVolume> checkIpodVolume(const MountedVolume& volume, uid_t uid)
{
    // The mount table alone decides whether the volume is looked at at all.
    if (!volume.source.startsWith("/dev/") || !isLocalDiskFileSystem(volume.fsType) ||
        !volume.mountPoint.startsWith('/'))
        return std::nullopt;

    const std::optional<FileFacts> root = pathFacts(volume.mountPoint, Links::Keep);
    if (!safeFolder(root, uid) || root->device != volume.device)
        return std::nullopt;

    // libgpod finds the folder whatever its letter case; that is the one it will write to.
    gchar* found = itdb_get_control_dir(volume.mountPoint.constData());
    if (!found)
        return std::nullopt;
    const QByteArray controlDir = found;
    g_free(found);
    if (controlDir != volume.mountPoint + '/' + extractFileName(controlDir))
        return std::nullopt;
    const std::optional<FileFacts> control = pathFacts(controlDir, Links::Keep);
    if (!safeFolder(control, uid) || control->device != root->device)
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
