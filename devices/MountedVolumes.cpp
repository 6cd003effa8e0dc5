#include "devices/MountedVolumes.h"

#include "devices/MountInfo.h"
#include "devices/VolumeLabels.h"
#include "platform/PathText.h"

#include <sys/sysmacros.h>

namespace tovilo {

namespace {

dev_t parseMajorMinor(const QByteArray& text)
{
    const qsizetype colon = text.indexOf(':');
    bool majorOk = false;
    bool minorOk = false;
    const unsigned major = text.left(colon).toUInt(&majorOk);
    const unsigned minor = text.mid(colon + 1).toUInt(&minorOk);
    return colon > 0 && majorOk && minorOk ? makedev(major, minor) : dev_t(0);
}

} // namespace

QList<MountedVolume> volumesFromMountTable(const QString& mountInfoPath, const QByteArray& devRoot)
{
    QList<MountedVolume> volumes;
    for (const MountEntry& mount : readMountInfo(mountInfoPath)) {
        MountedVolume volume;
        volume.mountPoint = mount.mountPoint;
        volume.source = mount.source;
        volume.fsType = mount.fsType;
        volume.device = parseMajorMinor(mount.majorMinor);
        volume.readOnly = mount.options.split(',').contains("ro");
        // Only a candidate's label is worth the look-up.
        if (volume.source.startsWith("/dev/") && isLocalDiskFileSystem(volume.fsType))
            volume.label = QString::fromUtf8(udevLabel(devRoot, extractFileName(volume.source)));
        volumes.append(volume);
    }
    return volumes;
}

bool isLocalDiskFileSystem(const QByteArray& fsType)
{
    static const QList<QByteArray> local{"vfat",  "msdos", "exfat", "hfsplus", "hfs",
                                         "ext2",  "ext3",  "ext4",  "btrfs",   "xfs",
                                         "ntfs3", "ntfs",  "udf",   "f2fs"};
    return local.contains(fsType);
}

} // namespace tovilo
