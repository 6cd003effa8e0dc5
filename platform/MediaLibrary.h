#pragma once

#include "platform/Error.h"
#include "platform/IpodVolumes.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <utility>

namespace tovilo {

// Why a media device did not take the files; the window words it for the user.
enum class MediaFailure
{
    Failed,             // anything else; the message has the details
    NoDevice,           // no mounted volume holds a device database
    UnreadableDatabase, // the device's database cannot be read
    MissingDeviceId,    // the model needs its FireWire id to sign the database, and it is unknown
    MissingHashInfo,    // the model needs iPod_Control/Device/HashInfo, and it is missing
    UnsupportedModel,   // the database of this model cannot be written
    UnknownModel,       // the model is unknown and its database is signed
    NoVideo,            // the file is a video and the device plays none
    DeviceFull,         // the file does not fit on the device
    WriteFailed,        // the database could not be written or flushed to the device
    ReadOnly,           // the device is mounted read-only (as a Mac-formatted one is)
    NotInitialised,     // the device has no database yet; initialiseDevice() makes one
};

class MediaError : public Error
{
public:
    MediaError(MediaFailure failure, QString message)
        : Error(std::move(message)), m_failure(failure)
    {
    }
    MediaFailure failure() const noexcept { return m_failure; }

private:
    MediaFailure m_failure;
};

// The library playlist of a media device: every file added to it ends up on the device.
class MediaPlaylist
{
public:
    virtual ~MediaPlaylist() = default;
    // Throws tovilo::Error when the file cannot be added; nothing of it is left behind then.
    // A MediaError with MediaFailure::NoVideo refuses this file only: others may still be added.
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
    // Saves what was added, flushes it to the device and lets go of the device; throws
    // tovilo::Error when saving fails, after taking the files of this session off the device
    // again. Later calls do nothing.
    virtual void release() = 0;
    // Where the device is mounted, for removing it afterwards.
    virtual QByteArray mountPoint() const = 0;
};

class MediaLibraryFactory
{
public:
    virtual ~MediaLibraryFactory() = default;
    // Throws tovilo::Error when there is no device, its database cannot be read, or the
    // database could not be written in a form the device shows; nothing on the device is
    // changed then. A device without a database fails with MediaFailure::NotInitialised.
    virtual std::unique_ptr<MediaApplication> createApplication() = 0;
    // Gives the device createApplication() would open an empty database, for its model as its
    // SysInfo names it; does nothing when it has one. Throws tovilo::Error when there is no
    // device or its model is not known (MediaFailure::UnknownModel), leaving it unchanged.
    virtual void initialiseDevice() = 0;
};

// The iPod on the first mounted volume that holds an iPod control folder, handled with
// libgpod. Volumes come from UDisks2 where it answers, else from the mount table, and count
// only when they pass checkIpodVolume() with the mount table's file system type and source. With several iPods connected, "first" is the lowest
// mount point in byte order, so the same device is chosen every time whatever order the volumes
// were mounted in. Devices whose database libgpod cannot sign, and devices mounted read-only,
// are refused before anything is copied (see MediaFailure).
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

// What ffprobe tells about a file the device is given.
struct MediaFacts
{
    int durationMs = 0; // 0 when unknown
    int bitrateKbps = 0;
    bool known = false;    // ffprobe read the file
    bool hasVideo = false; // a moving picture, not just cover art
};
MediaFacts probeMedia(const QByteArray& path);

} // namespace tovilo
