#include "devices/IpodDatabase.h"
#include "devices/IpodFolders.h"

#include "devices/IpodSigning.h"
#include "devices/IpodThumbnails.h"
#include "devices/MediaKinds.h"
#include "devices/MediaProbe.h"
#include "oscore/Fd.h"
#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"

#include <gpod/itdb.h>

#include <QList>
#include <QString>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace tovilo {

namespace {

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Takes GLib's error: returns its message and frees it.
QString takeMessage(GError*& error)
{
    if (!error)
        return QStringLiteral("unknown error");
    const QString message = QString::fromUtf8(error->message);
    g_clear_error(&error);
    return message;
}

char* glibString(const QString& text)
{
    return g_strdup(text.toUtf8().constData());
}

// The device's database; shared by the application and its playlists so neither outlives it.
struct IpodDevice
{
    Itdb_iTunesDB* db = nullptr;
    QByteArray mountPoint;
    // Video files are pointless on a device that cannot play them.
    bool playsVideo = true;
    bool changed = false;
    // Files copied in this session, taken off the device again when the database cannot be
    // written, since nothing would ever list them.
    QList<QByteArray> copied;
    IpodThumbnails thumbnails;

    ~IpodDevice()
    {
        if (db)
            itdb_free(db);
    }
};

class IpodPlaylist : public MediaPlaylist
{
public:
    explicit IpodPlaylist(std::shared_ptr<IpodDevice> device) : m_device(std::move(device)) {}

    void addFile(const QString& path) override
    {
        Itdb_iTunesDB* db = m_device->db;
        if (!db)
            throw Error(QStringLiteral("The device has already been released."));
        Itdb_Playlist* library = itdb_playlist_mpl(db);
        if (!library)
            throw Error(QStringLiteral("The device has no library playlist."));

        const QByteArray file = fromUtf16(path);
        const std::optional<FileFacts> info = pathFacts(file);
        if (!info)
            throw Error(QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(errno)));
        if (info->kind != FileFacts::Kind::File)
            throw Error(QStringLiteral("%1 is not a file.").arg(path));
        // The database keeps sizes in 32 bits, and the device's FAT volume holds no more.
        if (info->size > std::numeric_limits<guint32>::max())
            throw Error(QStringLiteral("%1 is too large for the device.").arg(path));
        const MediaFacts facts = probeMedia(file);
        const MediaKind* kind = mediaKindOf(file, facts);
        if (!kind)
            throw Error(QStringLiteral("%1 is not a file type the device plays.").arg(path));
        if (kind->video && !m_device->playsVideo)
            throw MediaError(MediaFailure::NoVideo,
                             QStringLiteral("The device plays no video: %1").arg(path));
        struct statvfs volume;
        if (statvfs(m_device->mountPoint.constData(), &volume) == 0 &&
            static_cast<unsigned long long>(info->size) >
                static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize)
            throw MediaError(MediaFailure::DeviceFull,
                             QStringLiteral("%1 does not fit on the device.").arg(path));

        // The name as the user sees it, whatever code page it was written in.
        const QByteArray name = extractFileName(file);
        const QString title = displayText(name.chopped(extractFileExt(name).size()));

        Itdb_Track* track = itdb_track_new();
        track->title = glibString(title);
        track->filetype = g_strdup(kind->fileType);
        track->mediatype = kind->mediaType;
        track->movie_flag = kind->video ? 1 : 0;
        track->size = static_cast<guint32>(info->size);
        track->tracklen = facts.durationMs;
        track->bitrate = facts.bitrateKbps;
        track->time_added = track->time_modified = std::time(nullptr);
        itdb_track_add(db, track, -1);

        GError* error = nullptr;
        if (!itdb_cp_track_to_ipod(track, file.constData(), &error)) {
            const QString message = takeMessage(error);
            removeTrack(track);
            throw Error(QStringLiteral("Cannot copy %1 to the device: %2").arg(path, message));
        }
        itdb_playlist_add_track(library, track, -1);
        if (kind->video)
            addThumbnail(track, file, facts.durationMs);
        m_device->changed = true;
        if (gchar* onDevice = itdb_filename_on_ipod(track)) {
            m_device->copied.append(onDevice);
            g_free(onDevice);
        }
    }

private:
    // A picture for the video menu; the file is on the device without one as well.
    void addThumbnail(Itdb_Track* track, const QByteArray& file, int durationMs)
    {
        if (!itdb_device_supports_artwork(m_device->db->device))
            return;
        const QByteArray picture = m_device->thumbnails.make(file, durationMs);
        if (!picture.isEmpty())
            itdb_track_set_thumbnails(track, picture.constData());
    }

    // Takes a half-added track out of the database again, with its copy if one was made.
    static void removeTrack(Itdb_Track* track)
    {
        if (track->ipod_path) {
            if (gchar* onDevice = itdb_filename_on_ipod(track)) {
                unlink(onDevice);
                g_free(onDevice);
            }
        }
        itdb_track_remove(track);
    }

    std::shared_ptr<IpodDevice> m_device;
};

class IpodApplication : public MediaApplication
{
public:
    explicit IpodApplication(std::shared_ptr<IpodDevice> device) : m_device(std::move(device)) {}

    ~IpodApplication() override
    {
        try {
            release();
        } catch (...) {
            // Nothing is logged; callers that care call release() themselves.
        }
    }

    std::unique_ptr<MediaPlaylist> libraryPlaylist() override
    {
        if (!m_device->db)
            throw Error(QStringLiteral("The device has already been released."));
        if (!itdb_playlist_mpl(m_device->db))
            throw Error(QStringLiteral("The device has no library playlist."));
        return std::make_unique<IpodPlaylist>(m_device);
    }

    void release() override
    {
        // Whatever happened before, the files already copied must be listed in the database.
        std::unique_ptr<Itdb_iTunesDB, void (*)(Itdb_iTunesDB*)> db(
            std::exchange(m_device->db, nullptr), itdb_free);
        if (!db || !m_device->changed)
            return;
        GError* error = nullptr;
        if (!itdb_write(db.get(), &error)) {
            for (const QByteArray& file : std::as_const(m_device->copied))
                unlink(file.constData());
            throw MediaError(
                MediaFailure::WriteFailed,
                QStringLiteral("Cannot write the device's database: %1").arg(takeMessage(error)));
        }
        // The user unplugs once told the files are there: they must be on the device by then,
        // not in the page cache.
        const UniqueFd volume = openFile(m_device->mountPoint.constData(), O_RDONLY | O_DIRECTORY);
        const bool flushed = volume.isValid() && syncfs(volume.get()) == 0;
        const int flushError = errno;
        if (!flushed)
            throw MediaError(
                MediaFailure::WriteFailed,
                QStringLiteral("Cannot flush the device: %1").arg(systemErrorText(flushError)));
    }

    QByteArray mountPoint() const override { return m_device->mountPoint; }

private:
    std::shared_ptr<IpodDevice> m_device;
};

} // namespace

bool hasIpodDatabase(const QByteArray& mountPoint)
{
    gchar* database = itdb_get_itunesdb_path(mountPoint.constData());
    const std::optional<FileFacts> info =
        database ? pathFacts(database, Links::Keep) : std::nullopt;
    g_free(database);
    const bool exists = info.has_value();
    // A pipe or a link there is no blank iPod to set up.
    if (exists && info->kind != FileFacts::Kind::File)
        throw MediaError(MediaFailure::UnreadableDatabase,
                         QStringLiteral("The iPod's database is not a regular file."));
    return exists;
}

namespace {

void checkFolders(Itdb_iTunesDB* db, const QByteArray& mountPoint)
{
    gchar* control = itdb_get_control_dir(mountPoint.constData());
    const QByteArray controlDir = control ? QByteArray(control) : QByteArray();
    g_free(control);
    checkIpodFolders(mountPoint, controlDir, itdb_musicdirs_number(db));
}

} // namespace

std::unique_ptr<MediaApplication> openIpodDatabase(const QByteArray& mountPoint)
{
    GError* error = nullptr;
    auto device = std::make_shared<IpodDevice>();
    device->mountPoint = mountPoint;
    device->db = itdb_parse(mountPoint.constData(), &error);
    if (!device->db)
        throw MediaError(
            MediaFailure::UnreadableDatabase,
            QStringLiteral("Cannot read the iPod's database: %1").arg(takeMessage(error)));
    g_clear_error(&error);
    checkFolders(device->db, mountPoint);
    device->playsVideo = checkIpodSigning(device->db->device, mountPoint);
    return std::make_unique<IpodApplication>(std::move(device));
}

void setUpIpodDatabase(const IpodVolume& found)
{
    const QByteArray& mountPoint = found.volume.mountPoint;
    // The description as libgpod reads it from SysInfo (and SysInfoExtended).
    std::unique_ptr<Itdb_iTunesDB, void (*)(Itdb_iTunesDB*)> blank(itdb_new(), itdb_free);
    itdb_set_mountpoint(blank.get(), mountPoint.constData());
    gchar* modelNumber = itdb_device_get_sysinfo(blank->device, "ModelNumStr");
    const QByteArray model = modelNumber ? QByteArray(modelNumber).trimmed() : QByteArray();
    g_free(modelNumber);
    const Itdb_IpodInfo* info = itdb_device_get_ipod_info(blank->device);
    // A guessed model could get a database the device does not show.
    if (model.isEmpty() || !info || info->ipod_generation == ITDB_IPOD_GENERATION_UNKNOWN)
        throw MediaError(MediaFailure::UnknownModel,
                         QStringLiteral("The iPod's model is not known, so it is not set up."));
    checkIpodSigning(blank->device, mountPoint);
    checkFolders(blank.get(), mountPoint);

    const QString label = found.volume.label.trimmed();
    const QByteArray name = (label.isEmpty() ? QStringLiteral("iPod") : label).toUtf8();
    GError* error = nullptr;
    if (!itdb_init_ipod(mountPoint.constData(), model.constData(), name.constData(), &error))
        throw MediaError(MediaFailure::WriteFailed,
                         QStringLiteral("Cannot set up the iPod: %1").arg(takeMessage(error)));
    const UniqueFd volume = openFile(mountPoint.constData(), O_RDONLY | O_DIRECTORY);
    if (!volume.isValid() || syncfs(volume.get()) != 0)
        throw MediaError(MediaFailure::WriteFailed,
                         QStringLiteral("Cannot flush the iPod: %1").arg(systemErrorText(errno)));
}

} // namespace tovilo
