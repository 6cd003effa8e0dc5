#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace tovilo {

// The library playlist of a media device: every file added to it ends up on the device.
class MediaPlaylist
{
public:
    virtual ~MediaPlaylist() = default;
    // Throws tovilo::Error when the file cannot be added; nothing of it is left behind then.
    virtual void addFile(const QString& path) = 0;
};

// A connected media device with its track database, open for adding files.
class MediaApplication
{
public:
    // Releases the application; a failure to save is swallowed here, call release() to see it.
    virtual ~MediaApplication() = default;
    // Throws tovilo::Error when the application has already been released.
    virtual std::unique_ptr<MediaPlaylist> libraryPlaylist() = 0;
    // Saves what was added and lets go of the device; throws tovilo::Error when saving fails.
    // Later calls do nothing.
    virtual void release() = 0;
};

class MediaLibraryFactory
{
public:
    virtual ~MediaLibraryFactory() = default;
    // Throws tovilo::Error when there is no device or its database cannot be read.
    virtual std::unique_ptr<MediaApplication> createApplication() = 0;
};

// The first mounted volume that holds an iPod database, handled with libgpod.
class IpodLibraryFactory : public MediaLibraryFactory
{
public:
    // Looks for the device among the mount points of `mountInfoPath`, in its order.
    explicit IpodLibraryFactory(QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"));
    // Looks for the device among the given mount points only.
    static IpodLibraryFactory withMountPoints(QList<QByteArray> mountPoints);

    std::unique_ptr<MediaApplication> createApplication() override;

    // The mount point of the device createApplication() would open, or empty.
    QByteArray deviceMountPoint() const;

    // The first of `mountPoints` that holds iPod_Control/iTunes/iTunesDB, or empty.
    static QByteArray findDevice(const QList<QByteArray>& mountPoints);

private:
    QString m_mountInfoPath;
    QList<QByteArray> m_mountPoints;
};

// The play length in milliseconds as ffprobe reports it, 0 when it cannot be read.
int mediaDurationMs(const QByteArray& path);

} // namespace tovilo
