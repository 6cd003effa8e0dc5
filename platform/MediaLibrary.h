#pragma once

#include "platform/MediaLibraryFactory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace tovilo {

// The iPod on the first mounted volume that holds an iPod database, handled with libgpod.
// With several iPods connected, "first" is the lowest mount point in byte order, so the same
// device is chosen every time whatever order the volumes were mounted in. Devices whose
// database libgpod cannot sign are refused before anything is copied (see MediaFailure).
class IpodLibraryFactory : public MediaLibraryFactory
{
public:
    // Looks for the device among the mount points of `mountInfoPath`.
    explicit IpodLibraryFactory(QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"));
    // Looks for the device among the given mount points only.
    static IpodLibraryFactory withMountPoints(QList<QByteArray> mountPoints);

    std::unique_ptr<MediaApplication> createApplication() override;

    // The mount point of the device createApplication() would open, or empty.
    QByteArray deviceMountPoint() const;

    // The lowest of `mountPoints` (in byte order) that holds iPod_Control/iTunes/iTunesDB, or
    // empty.
    static QByteArray findDevice(const QList<QByteArray>& mountPoints);

private:
    QString m_mountInfoPath;
    QList<QByteArray> m_mountPoints;
};

// The play length in milliseconds as ffprobe reports it, 0 when it cannot be read.
int mediaDurationMs(const QByteArray& path);

} // namespace tovilo
