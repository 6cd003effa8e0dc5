#pragma once

#include "devices/IpodVolumes.h"
#include "devices/MediaLibraryFactory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace tovilo {

// The iPod on the first mounted volume that holds an iPod control folder, handled with
// libgpod. Volumes come from UDisks2 where it answers, else from the mount table, and count
// only when they pass checkIpodVolume() with the mount table's file system type and source.
// With several iPods connected, "first" is the lowest mount point in byte order, so the same
// device is chosen every time whatever order the volumes were mounted in. Devices whose database
// libgpod cannot sign, and devices mounted read-only, are refused before anything is copied (see
// MediaFailure).
class IpodLibraryFactory : public MediaLibraryFactory
{
public:
    // Looks for the device among the volumes `volumes` reports (when given and answering),
    // else among the mounts of `mountInfoPath`.
    explicit IpodLibraryFactory(QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"),
                                const VolumeSource* volumes = nullptr);
    // Looks for the device among the given folders only, which the caller vouches for.
    static IpodLibraryFactory withMountPoints(QList<QByteArray> mountPoints);

    std::unique_ptr<MediaApplication> createApplication() override;
    void initialiseDevice() override;

    // The mount point of the device createApplication() would open, or empty.
    QByteArray deviceMountPoint() const;

private:
    std::optional<IpodVolume> findDevice() const;

    QString m_mountInfoPath;
    const VolumeSource* m_volumes = nullptr;
    QList<QByteArray> m_mountPoints;
};

} // namespace tovilo
