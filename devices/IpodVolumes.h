#pragma once

#include "devices/MountedVolumes.h"

#include <QByteArray>
#include <QList>

#include <optional>
#include <sys/types.h>

namespace tovilo {

// The device folder of a mounted volume that passed the checks, with libgpod's spelling of
// its control folder.
struct IpodVolume
{
    MountedVolume volume;
    QByteArray controlDir;
};

// Whether `volume` is an iPod of the user `uid`: a local disk file system mounted from a
// /dev node, its root and its iPod_Control a real folder on that file system, each owned by
// the user or root and writable by nobody else. Only the mount table's fields are looked at
// before the volume passes the first two tests, so a hung network or FUSE mount is never
// touched.
std::optional<IpodVolume> checkIpodVolume(const MountedVolume& volume, uid_t uid);

// The first iPod among `volumes`, by mount point in byte order: the same device is chosen
// whatever order they were mounted in.
std::optional<IpodVolume> chooseIpodVolume(const QList<MountedVolume>& volumes, uid_t uid);

} // namespace tovilo
