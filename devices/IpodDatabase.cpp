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

#include <QHash>
#include <QList>
#include <QString>

#include <cerrno>
#include <cstdlib>
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

// Room kept free for the database (written anew beside the old one) and the pictures.
constexpr qint64 DatabaseMargin = 8 << 20;
constexpr qint64 PicturesPerFile = 256 << 10;
// A FAT volume's largest clusters: no file takes less than a whole one.
constexpr qint64 Cluster = 64 << 10;
// A film converted again comes out this close to the length it had.
constexpr int SameLengthMs = 2000;

// What the device learns of a file before it is copied.
struct Probed
{
    qint64 size = 0;
    MediaFacts facts;
    const MediaKind* kind = nullptr;
    MediaIdentity identity;
};

// Reads what the device needs of a file; throws as MediaPlaylist::addFile() describes.
Probed probeFile(const QString& path)
{
    const QByteArray file = fromUtf16(path);
    const std::optional<FileFacts> info = pathFacts(file);
    if (!info)
        throw Error(QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(errno)));
    if (info->kind != FileFacts::Kind::File)
        throw Error(QStringLiteral("%1 is not a file.").arg(path));
    // The database keeps sizes in 32 bits, and the device's FAT volume holds no more.
    if (info->size > std::numeric_limits<guint32>::max())
        throw Error(QStringLiteral("%1 is too large for the device.").arg(path));
    Probed probed;
    probed.size = info->size;
    probed.facts = probeMedia(file);
    probed.kind = mediaKindOf(file, probed.facts);
    if (!probed.kind)
        throw Error(QStringLiteral("%1 is not a file type the device plays.").arg(path));
    // The file's own tags say what it is; the name as the user sees it, whatever code page it
    // was written in, where they are silent.
    const QString name = displayText(extractFileName(file));
    probed.identity = identify(probed.facts.tags, name.toStdString(), {}, !probed.kind->video);
    return probed;
}

QString text(const char* utf8)
{
    return utf8 ? QString::fromUtf8(utf8) : QString();
}

// A track already in the database for what the file is, with its file on the device.
bool onDevice(Itdb_iTunesDB* db, const Probed& probed)
{
    const MediaIdentity& what = probed.identity;
    const QString show = QString::fromStdString(what.show);
    const QString title = QString::fromStdString(listedTitle(what));
    for (GList* node = db->tracks; node; node = node->next) {
        const auto* track = static_cast<const Itdb_Track*>(node->data);
        const bool same =
            what.kind == MediaIdentity::Kind::Episode
                ? (track->mediatype & ITDB_MEDIATYPE_TVSHOW) != 0 &&
                      text(track->tvshow).compare(show, Qt::CaseInsensitive) == 0 &&
                      track->season_nr == guint32(what.season) &&
                      track->episode_nr == guint32(what.episode) &&
                      // Specials and unnumbered episodes are told apart by their titles.
                      (what.episode > 0 || text(track->title) == title)
                : what.kind == MediaIdentity::Kind::Film && probed.facts.durationMs > 0 &&
                      (track->mediatype & ITDB_MEDIATYPE_MOVIE) != 0 &&
                      text(track->title) == title &&
                      std::abs(track->tracklen - probed.facts.durationMs) <= SameLengthMs;
        if (!same)
            continue;
        gchar* file = itdb_filename_on_ipod(const_cast<Itdb_Track*>(track));
        const bool there = file && pathFacts(file).has_value();
        g_free(file);
        if (there)
            return true;
    }
    return false;
}

// "2024-10-05" or "2001" as the start of that day, local time; 0 for anything else.
time_t releaseTime(const std::string& date)
{
    const QString text = QString::fromStdString(date);
    const int year = text.left(4).toInt();
    if (year < 1900 || (text.size() != 4 && (text.size() < 10 || text[4] != u'-')))
        return 0;
    std::tm day = {};
    day.tm_year = year - 1900;
    day.tm_mon = text.size() >= 10 ? text.mid(5, 2).toInt() - 1 : 0;
    day.tm_mday = text.size() >= 10 ? text.mid(8, 2).toInt() : 1;
    day.tm_isdst = -1;
    const time_t at = std::mktime(&day);
    return at == time_t(-1) ? 0 : at;
}

// Files the device lists where people look for them: episodes under their show in order,
// films by their title, songs by artist and album; chapters for the chapter menu.
void describe(Itdb_Track* track, const Probed& probed)
{
    const MediaIdentity& what = probed.identity;
    track->title = g_strdup(listedTitle(what).c_str());
    track->mediatype = probed.kind->mediaType;
    if (what.kind == MediaIdentity::Kind::Episode) {
        const char* show = what.show.c_str();
        track->mediatype = ITDB_MEDIATYPE_TVSHOW;
        track->tvshow = g_strdup(show);
        track->tvepisode =
            g_strdup((what.episodeId.empty() ? listedTitle(what) : what.episodeId).c_str());
        track->season_nr = guint32(std::max(what.season, 0));
        track->episode_nr = guint32(std::max(what.episode, 0));
        track->track_nr = std::max(what.episode, 0);
        track->album = g_strdup(show);
        track->artist = g_strdup(show);
        track->sort_tvshow = g_strdup(show);
        track->sort_album = g_strdup(show);
        track->sort_artist = g_strdup(show);
    } else if (what.kind == MediaIdentity::Kind::Music) {
        if (!what.artist.empty())
            track->artist = g_strdup(what.artist.c_str());
        if (!what.album.empty())
            track->album = g_strdup(what.album.c_str());
    }
    track->time_released = releaseTime(what.date);
    if (probed.facts.chapters.empty())
        return;
    // A new track comes with empty chapter data of its own; replacing it would lose it.
    if (track->chapterdata == nullptr)
        track->chapterdata = itdb_chapterdata_new();
    int number = 0;
    for (const MediaChapter& chapter : probed.facts.chapters) {
        ++number;
        QByteArray name =
            QByteArray::fromStdString(chapter.title.empty() ? chapterName(number) : chapter.title);
        // In milliseconds, where the device takes 0 for no start: the first begins at 1.
        const auto start = guint32(std::max<long long>(1, std::llround(chapter.start * 1000)));
        itdb_chapterdata_add_chapter(track->chapterdata, start, name.data());
    }
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
    // Each file is read once, whether asked about first or added at once.
    QHash<QString, Probed> probed;

    const Probed& probe(const QString& path)
    {
        const auto found = probed.constFind(path);
        return found != probed.constEnd() ? *found : *probed.insert(path, probeFile(path));
    }

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

    bool addFile(const QString& path) override
    {
        Itdb_iTunesDB* db = m_device->db;
        if (!db)
            throw Error(QStringLiteral("The device has already been released."));
        Itdb_Playlist* library = itdb_playlist_mpl(db);
        if (!library)
            throw Error(QStringLiteral("The device has no library playlist."));

        const QByteArray file = fromUtf16(path);
        const Probed& probed = m_device->probe(path);
        const MediaKind* kind = probed.kind;
        if (kind->video && !m_device->playsVideo)
            throw MediaError(MediaFailure::NoVideo,
                             QStringLiteral("The device plays no video: %1").arg(path));
        if (onDevice(db, probed))
            return false;
        struct statvfs volume;
        if (statvfs(m_device->mountPoint.constData(), &volume) == 0 &&
            static_cast<unsigned long long>(probed.size) >
                static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize)
            throw MediaError(MediaFailure::DeviceFull,
                             QStringLiteral("%1 does not fit on the device.").arg(path));

        Itdb_Track* track = itdb_track_new();
        describe(track, probed);
        track->filetype = g_strdup(kind->fileType);
        track->movie_flag = kind->video ? 1 : 0;
        track->size = static_cast<guint32>(probed.size);
        track->tracklen = probed.facts.durationMs;
        track->bitrate = probed.facts.bitrateKbps;
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
            addThumbnail(track, file, probed.facts.durationMs);
        m_device->changed = true;
        if (gchar* onDevice = itdb_filename_on_ipod(track)) {
            m_device->copied.append(onDevice);
            g_free(onDevice);
        }
        return true;
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

    bool hasFile(const QString& path) override
    {
        if (!m_device->db)
            return false;
        try {
            return onDevice(m_device->db, m_device->probe(path));
        } catch (const Error&) {
            return false; // adding it says why
        }
    }

    std::optional<qint64> room() const override
    {
        struct statvfs volume;
        if (statvfs(m_device->mountPoint.constData(), &volume) != 0)
            return std::nullopt;
        gchar* database = itdb_get_itunesdb_path(m_device->mountPoint.constData());
        const std::optional<FileFacts> current =
            database ? pathFacts(database) : std::optional<FileFacts>();
        g_free(database);
        const qint64 free = qint64(volume.f_bavail) * qint64(volume.f_frsize);
        return std::max<qint64>(free - DatabaseMargin - 2 * (current ? current->size : 0), 0);
    }

    qint64 spaceFor(qint64 size) const override
    {
        return (size + Cluster - 1) / Cluster * Cluster + PicturesPerFile;
    }

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
