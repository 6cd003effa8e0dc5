#include "devices/MediaLibrary.h"

#include "devices/IpodDatabase.h"

#include <gpod/itdb.h>

#include <algorithm>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace tovilo {

IpodLibraryFactory::IpodLibraryFactory(QString mountInfoPath, const VolumeSource* volumes)
    : m_mountInfoPath(std::move(mountInfoPath)), m_volumes(volumes)
{
}

IpodLibraryFactory IpodLibraryFactory::withMountPoints(QList<QByteArray> mountPoints)
{
    IpodLibraryFactory factory{QString()};
    factory.m_mountPoints = std::move(mountPoints);
    return factory;
}

std::optional<IpodVolume> IpodLibraryFactory::findDevice() const
{
    if (m_mountInfoPath.isEmpty()) {
        QList<QByteArray> sorted = m_mountPoints;
        std::sort(sorted.begin(), sorted.end());
        for (const QByteArray& mountPoint : std::as_const(sorted)) {
            gchar* found = itdb_get_control_dir(mountPoint.constData());
            if (!found)
                continue;
            IpodVolume device{{mountPoint, {}, {}, 0, {}, false}, QByteArray(found)};
            g_free(found);
            return device;
        }
        return std::nullopt;
    }
    const QList<MountedVolume> table = volumesFromMountTable(m_mountInfoPath);
    const std::optional<QList<MountedVolume>> announced =
        m_volumes ? m_volumes->mountedVolumes() : std::nullopt;
    if (!announced)
        return chooseIpodVolume(table, geteuid());
    // What is mounted there, and how, is the kernel's word: UDisks2 names the block device's
    // content (an NTFS partition), not the driver that mounted it (a FUSE one).
    QList<MountedVolume> volumes;
    for (const MountedVolume& volume : *announced) {
        const auto mounted = std::find_if(table.begin(), table.end(), [&](const MountedVolume& m) {
            return m.mountPoint == volume.mountPoint;
        });
        if (mounted == table.end())
            continue;
        MountedVolume joined = *mounted;
        if (!volume.label.isEmpty())
            joined.label = volume.label;
        joined.readOnly = mounted->readOnly || volume.readOnly;
        volumes.append(joined);
    }
    return chooseIpodVolume(volumes, geteuid());
}

QByteArray IpodLibraryFactory::deviceMountPoint() const
{
    const std::optional<IpodVolume> device = findDevice();
    return device ? device->volume.mountPoint : QByteArray();
}

namespace {

IpodVolume writableDevice(const std::optional<IpodVolume>& device)
{
    if (!device)
        throw MediaError(MediaFailure::NoDevice, QStringLiteral("No iPod is connected."));
    struct statvfs volume;
    if (device->volume.readOnly || (statvfs(device->volume.mountPoint.constData(), &volume) == 0 &&
                                    (volume.f_flag & ST_RDONLY) != 0))
        throw MediaError(MediaFailure::ReadOnly, QStringLiteral("The iPod is mounted read-only."));
    return *device;
}

} // namespace

std::unique_ptr<MediaApplication> IpodLibraryFactory::createApplication()
{
    const QByteArray mountPoint = writableDevice(findDevice()).volume.mountPoint;
    if (!hasIpodDatabase(mountPoint))
        throw MediaError(MediaFailure::NotInitialised, QStringLiteral("The iPod has no database."));
    return openIpodDatabase(mountPoint);
}

void IpodLibraryFactory::initialiseDevice()
{
    const IpodVolume found = writableDevice(findDevice());
    if (!hasIpodDatabase(found.volume.mountPoint))
        setUpIpodDatabase(found);
}

} // namespace tovilo
