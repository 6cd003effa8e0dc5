#pragma once

#include "platform/Error.h"

#include <QByteArray>
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
    ForeignFolder,      // a folder written into is a link, or on another file system
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
    // False when the device has it already (see MediaApplication::hasFile): nothing is added.
    virtual bool addFile(const QString& path) = 0;
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

    // True when the device already has what the file is: the same episode of the same show, or
    // a film of the same title and length. Reads the file, copies nothing.
    virtual bool hasFile(const QString& path)
    {
        static_cast<void>(path);
        return false;
    }
    // What files may still take on the device: its free space less what its database and
    // pictures need. Nothing when it cannot be told.
    virtual std::optional<qint64> room() const { return std::nullopt; }
    // What a file of `size` bytes takes of that room, its pictures included.
    virtual qint64 spaceFor(qint64 size) const { return size; }
};

class MediaLibraryFactory;

// The device a hand-over writes to, chosen on the thread that keeps the volume lists.
struct ChosenMediaDevice
{
    // Opens that device alone; from now on one other thread may use it.
    std::unique_ptr<MediaLibraryFactory> library;
    bool initialised = true; // it has a database
};

class MediaLibraryFactory
{
public:
    virtual ~MediaLibraryFactory() = default;
    // The device createApplication() would open. Throws tovilo::Error as createApplication()
    // does when there is none or it is mounted read-only; reads nothing on the device but
    // whether its database is there.
    virtual ChosenMediaDevice chooseDevice() = 0;
    // Throws tovilo::Error when there is no device, its database cannot be read, or the
    // database could not be written in a form the device shows; nothing on the device is
    // changed then. A device without a database fails with MediaFailure::NotInitialised.
    virtual std::unique_ptr<MediaApplication> createApplication() = 0;
    // Gives the device createApplication() would open an empty database, for its model as its
    // SysInfo names it; does nothing when it has one. Throws tovilo::Error when there is no
    // device or its model is not known (MediaFailure::UnknownModel), leaving it unchanged.
    virtual void initialiseDevice() = 0;
};

} // namespace tovilo
