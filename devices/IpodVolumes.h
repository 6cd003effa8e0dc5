#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <sys/types.h>

namespace tovilo {

// A mounted file system that may be an iPod, as the mount table or UDisks2 describes it.
struct MountedVolume
{
    QByteArray mountPoint;
    QByteArray source; // the device node, e.g. "/dev/sdb1"
    QByteArray fsType;
    dev_t device = 0; // the file system's device number
    QString label;    // the volume label, empty when none is known
    bool readOnly = false;
};

// Where the mounted volumes come from.
class VolumeSource
{
public:
    virtual ~VolumeSource() = default;
    // Nothing when the source has no answer (yet); the mount table is read instead.
    virtual std::optional<QList<MountedVolume>> mountedVolumes() const = 0;
};

// The volumes of a mountinfo file, labels from udev's by-label links below `devRoot`.
QList<MountedVolume> volumesFromMountTable(const QString& mountInfoPath,
                                           const QByteArray& devRoot = "/dev");

// True for the file systems of local disks. Network, FUSE and memory file systems are never
// looked into: a dead one would hang whoever asks.
bool isLocalDiskFileSystem(const QByteArray& fsType);

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
