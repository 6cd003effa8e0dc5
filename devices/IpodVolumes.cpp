#include "devices/IpodVolumes.h"

#include "devices/MountInfo.h"
#include "devices/OpticalDrives.h"
#include "platform/PathText.h"

#include <gpod/itdb.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

// The label udev found for `source`, from its by-label links.
QString labelOf(const QByteArray& source, const QByteArray& devRoot)
{
    const QByteArray folder = devRoot + "/disk/by-label/";
    QStringList names = QDir(QFile::decodeName(folder)).entryList(QDir::System | QDir::Files);
    names.sort();
    const QByteArray deviceName = extractFileName(source);
    for (const QString& name : std::as_const(names)) {
        const QByteArray link = folder + QFile::encodeName(name);
        char target[4096];
        const ssize_t length = readlink(link.constData(), target, sizeof target - 1);
        if (length > 0 && extractFileName(QByteArray(target, length)) == deviceName)
            return QString::fromUtf8(decodeUdevEscapes(QFile::encodeName(name)));
    }
    return {};
}

// Owned by the user or root, writable by nobody else.
bool ownedSafely(const struct stat& info, uid_t uid)
{
    return (info.st_uid == uid || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
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
            volume.label = labelOf(volume.source, devRoot);
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
