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

} // namespace tovilo
