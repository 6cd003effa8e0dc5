#include "devices/MediaLibrary.h"

#include "devices/MountInfo.h"
#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/PathText.h"
#include "platform/Process.h"

#include <gpod/itdb.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace tovilo {

namespace {

// A hung probe must not freeze the window that is handing files over: reading the length of
// a finished file of ours, or one frame of it, takes well under a second, and the child's
// group is killed after this.
constexpr int ProbeTimeoutMs = 5000;
// The picture the video menu shows; its size is the largest any generation asks for.
constexpr int ThumbnailWidth = 320;

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

struct FileKind
{
    const char* fileType;
    guint32 mediaType;
    bool video;
};

// The kinds the converter writes, plus their close relatives. An MP4 without a moving picture
// is music, not a film without a picture.
const FileKind* fileKindOf(const QByteArray& path, const MediaFacts& facts)
{
    static const FileKind mpeg4Video{"MPEG-4 video file", ITDB_MEDIATYPE_MOVIE, true};
    static const FileKind mpegAudio{"MPEG audio file", ITDB_MEDIATYPE_AUDIO, false};
    static const FileKind aacAudio{"AAC audio file", ITDB_MEDIATYPE_AUDIO, false};
    const QByteArray extension = extractFileExt(path).toLower();
    if (extension == ".mp4" || extension == ".m4v")
        return facts.known && !facts.hasVideo ? &aacAudio : &mpeg4Video;
    if (extension == ".mp3")
        return &mpegAudio;
    if (extension == ".m4a")
        return &aacAudio;
    return nullptr;
}

// A name ffmpeg and ffprobe take for a file, never for an option.
QByteArray fileArgument(const QByteArray& path)
{
    return path.startsWith('/') ? path : "./" + path;
}

// Writes a frame from about a tenth into the video as a picture in `folder`; empty when none
// could be made.
QByteArray makeThumbnail(const QByteArray& video, int durationMs, const QByteArray& folder,
                         int number)
{
    const QByteArray picture = folder + "/thumbnail-" + QByteArray::number(number) + ".png";
    const QByteArray at = QByteArray::number(durationMs / 10 / 1000.0, 'f', 3);
    const CommandResult result = runCommand(
        {"ffmpeg", "-nostdin", "-v", "error", "-ss", at, "-i", fileArgument(video), "-frames:v",
         "1", "-vf", "scale=" + QByteArray::number(ThumbnailWidth) + ":-2", "-y", picture},
        ProbeTimeoutMs, CommandOutput::Discard);
    struct stat info;
    if (result.startError != 0 || result.timedOut || result.exitCode != 0 ||
        stat(picture.constData(), &info) != 0 || info.st_size == 0)
        return {};
    return picture;
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
    // libgpod reads the pictures only when it writes the database.
    std::unique_ptr<QTemporaryDir> thumbnails;
    int thumbnailCount = 0;

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
        struct stat info;
        if (stat(file.constData(), &info) != 0)
            throw Error(QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(errno)));
        if (!S_ISREG(info.st_mode))
            throw Error(QStringLiteral("%1 is not a file.").arg(path));
        // The database keeps sizes in 32 bits, and the device's FAT volume holds no more.
        if (info.st_size > std::numeric_limits<guint32>::max())
            throw Error(QStringLiteral("%1 is too large for the device.").arg(path));
        const MediaFacts facts = probeMedia(file);
        const FileKind* kind = fileKindOf(file, facts);
        if (!kind)
            throw Error(QStringLiteral("%1 is not a file type the device plays.").arg(path));
        if (kind->video && !m_device->playsVideo)
            throw MediaError(MediaFailure::NoVideo,
                             QStringLiteral("The device plays no video: %1").arg(path));
        struct statvfs volume;
        if (statvfs(m_device->mountPoint.constData(), &volume) == 0 &&
            static_cast<unsigned long long>(info.st_size) >
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
        track->size = static_cast<guint32>(info.st_size);
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
        if (!m_device->thumbnails) {
            m_device->thumbnails = std::make_unique<QTemporaryDir>();
            if (!m_device->thumbnails->isValid())
                return;
        }
        const QByteArray picture =
            makeThumbnail(file, durationMs, QFile::encodeName(m_device->thumbnails->path()),
                          ++m_device->thumbnailCount);
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
        const UniqueFd volume(
            open(m_device->mountPoint.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

// What signature a generation's database needs for the device to show its tracks.
enum class Signature
{
    None,
    Hash58,
    Hash72,
    Unsupported,
    Unknown
};

Signature signatureOf(Itdb_IpodGeneration generation)
{
    switch (generation) {
    case ITDB_IPOD_GENERATION_UNKNOWN:
        return Signature::Unknown;
    case ITDB_IPOD_GENERATION_FIRST:
    case ITDB_IPOD_GENERATION_SECOND:
    case ITDB_IPOD_GENERATION_THIRD:
    case ITDB_IPOD_GENERATION_FOURTH:
    case ITDB_IPOD_GENERATION_PHOTO:
    case ITDB_IPOD_GENERATION_MOBILE:
    case ITDB_IPOD_GENERATION_MINI_1:
    case ITDB_IPOD_GENERATION_MINI_2:
    case ITDB_IPOD_GENERATION_SHUFFLE_1:
    case ITDB_IPOD_GENERATION_SHUFFLE_2:
    case ITDB_IPOD_GENERATION_NANO_1:
    case ITDB_IPOD_GENERATION_NANO_2:
    case ITDB_IPOD_GENERATION_VIDEO_1:
    case ITDB_IPOD_GENERATION_VIDEO_2:
        return Signature::None;
    // Signed with a hash of the FireWire id.
    case ITDB_IPOD_GENERATION_CLASSIC_1:
    case ITDB_IPOD_GENERATION_CLASSIC_2:
    case ITDB_IPOD_GENERATION_CLASSIC_3:
    case ITDB_IPOD_GENERATION_NANO_3:
    case ITDB_IPOD_GENERATION_NANO_4:
        return Signature::Hash58;
    // Signed with the key libgpod keeps in HashInfo after iTunes has written the database once.
    case ITDB_IPOD_GENERATION_NANO_5:
        return Signature::Hash72;
    default:
        // The button-less shuffles, the nano 6G and the iOS devices, whose databases libgpod
        // cannot write on a mounted volume. (libgpod does not know the nano 7G: it is unknown.)
        return Signature::Unsupported;
    }
}

// The signature fields of a database file's header that carry a hash.
struct HeaderSignature
{
    bool hash58 = false;
    bool hash72 = false;
    bool any() const { return hash58 || hash72; }
};

HeaderSignature signatureInHeader(const char* path)
{
    HeaderSignature signature;
    const UniqueFd database(open(path, O_RDONLY | O_CLOEXEC));
    if (!database.isValid())
        return signature;
    QByteArray header(0xA0, '\0');
    const ssize_t got = pread(database.get(), header.data(), header.size(), 0);
    header.truncate(std::max<ssize_t>(got, 0));
    const auto anySet = [&](int from, int length) {
        const QByteArray field = header.mid(from, length);
        return std::any_of(field.begin(), field.end(), [](char byte) { return byte != 0; });
    };
    // The hashing scheme at 0x30 is 1 for hash58 and 2 for hash72.
    signature.hash58 = anySet(0x58, 20);
    signature.hash72 = anySet(0x72, 46);
    if (!signature.any() && anySet(0x30, 2))
        signature.hash58 = true;
    return signature;
}

bool databaseIsSigned(const QByteArray& mountPoint)
{
    if (gchar* compressed = itdb_get_itunescdb_path(mountPoint.constData())) {
        // Only signed devices use the compressed database.
        g_free(compressed);
        return true;
    }
    gchar* path = itdb_get_itunesdb_path(mountPoint.constData());
    if (!path)
        return false;
    const bool isSigned = signatureInHeader(path).any();
    g_free(path);
    return isSigned;
}

// The path of one of the files in the device's iPod_Control/Device, or empty.
QByteArray deviceFile(const QByteArray& mountPoint, const char* name)
{
    QByteArray result;
    if (gchar* deviceDir = itdb_get_device_dir(mountPoint.constData())) {
        if (gchar* path = itdb_get_path(deviceDir, name)) {
            if (g_file_test(path, G_FILE_TEST_IS_REGULAR))
                result = path;
            g_free(path);
        }
        g_free(deviceDir);
    }
    return result;
}

bool hasFirewireId(const Itdb_Device* device)
{
    gchar* id = itdb_device_get_sysinfo(device, "FirewireGuid");
    const bool present = id && *id;
    g_free(id);
    return present;
}

// Writes an empty database the way libgpod would write this device's, into a scratch copy of
// the device's description, since libgpod also writes artwork and SQLite files next to it.
// Returns the signature it got; nullopt when libgpod cannot write it at all.
std::optional<HeaderSignature> trialSignature(const QByteArray& mountPoint)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        throw MediaError(MediaFailure::Failed, QStringLiteral("No scratch folder for the iPod."));
    const QByteArray root = QFile::encodeName(scratch.path());
    const QByteArray deviceDir = root + "/iPod_Control/Device";
    if (g_mkdir_with_parents(deviceDir.constData(), 0700) != 0 ||
        g_mkdir_with_parents((root + "/iPod_Control/iTunes").constData(), 0700) != 0)
        throw MediaError(MediaFailure::Failed, QStringLiteral("No scratch folder for the iPod."));
    for (const char* name : {"SysInfo", "SysInfoExtended", "HashInfo"}) {
        const QByteArray source = deviceFile(mountPoint, name);
        gchar* contents = nullptr;
        gsize length = 0;
        if (source.isEmpty() ||
            !g_file_get_contents(source.constData(), &contents, &length, nullptr))
            continue;
        const QByteArray target = deviceDir + '/' + name;
        const bool copied =
            g_file_set_contents(target.constData(), contents, static_cast<gssize>(length), nullptr);
        g_free(contents);
        if (!copied)
            throw MediaError(MediaFailure::Failed,
                             QStringLiteral("Cannot copy the iPod's description."));
    }

    std::unique_ptr<Itdb_iTunesDB, void (*)(Itdb_iTunesDB*)> db(itdb_new(), itdb_free);
    itdb_set_mountpoint(db.get(), root.constData());
    Itdb_Playlist* library = itdb_playlist_new("iPod", FALSE);
    itdb_playlist_set_mpl(library);
    itdb_playlist_add(db.get(), library, -1);
    const QByteArray database = root + "/iPod_Control/iTunes/iTunesDB";
    GError* error = nullptr;
    if (!itdb_write_file(db.get(), database.constData(), &error)) {
        g_clear_error(&error);
        return std::nullopt;
    }
    return signatureInHeader(database.constData());
}

// Refuses a device whose database libgpod would write in a form the device does not show, or
// not at all; called before anything is copied so that a refused device stays as it was. The
// generation says what the device needs; a trial write says what libgpod would give it (its
// choice also follows SysInfoExtended).
void checkDevice(IpodDevice& device)
{
    const Itdb_Device* info = device.db->device;
    const Itdb_IpodInfo* model = itdb_device_get_ipod_info(info);
    const Itdb_IpodGeneration generation =
        model ? model->ipod_generation : ITDB_IPOD_GENERATION_UNKNOWN;
    const QString name = QString::fromUtf8(itdb_info_get_ipod_generation_string(generation));
    const Signature needed = signatureOf(generation);
    const auto refuse = [&](MediaFailure failure, const QString& why) {
        throw MediaError(failure, QStringLiteral("%1 (%2)").arg(why, name));
    };
    if (needed == Signature::Unsupported)
        refuse(MediaFailure::UnsupportedModel, QStringLiteral("libgpod cannot write this iPod"));
    if (needed == Signature::Hash58 && !hasFirewireId(info))
        refuse(MediaFailure::MissingDeviceId, QStringLiteral("the iPod's FireWire id is unknown"));
    if (needed == Signature::Hash72 &&
        (deviceFile(device.mountPoint, "HashInfo").isEmpty() || !hasFirewireId(info)))
        refuse(MediaFailure::MissingHashInfo, QStringLiteral("the iPod has no HashInfo"));

    const std::optional<HeaderSignature> trial = trialSignature(device.mountPoint);
    switch (needed) {
    case Signature::Hash58:
        if (!trial || !trial->hash58)
            refuse(MediaFailure::MissingDeviceId,
                   QStringLiteral("the iPod's description does not let libgpod sign for it"));
        break;
    case Signature::Hash72:
        if (!trial || !trial->hash72)
            refuse(MediaFailure::MissingHashInfo,
                   QStringLiteral("the iPod's HashInfo does not let libgpod sign for it"));
        break;
    case Signature::Unknown:
        // Written unsigned over a signed database, the device would show no tracks at all.
        if (!trial || (!trial->any() && databaseIsSigned(device.mountPoint)))
            refuse(MediaFailure::UnknownModel,
                   QStringLiteral("the iPod's model is unknown and its database is signed"));
        // Nothing is known about its video: it is handled as before, videos included.
        return;
    case Signature::None:
    case Signature::Unsupported:
        if (!trial)
            refuse(MediaFailure::UnsupportedModel,
                   QStringLiteral("libgpod cannot write this iPod"));
        break;
    }
    device.playsVideo = itdb_device_supports_video(info) != FALSE;
}

} // namespace

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

bool hasDatabase(const QByteArray& mountPoint)
{
    gchar* database = itdb_get_itunesdb_path(mountPoint.constData());
    const bool found = database && g_file_test(database, G_FILE_TEST_IS_REGULAR);
    g_free(database);
    return found;
}

} // namespace

std::unique_ptr<MediaApplication> IpodLibraryFactory::createApplication()
{
    const QByteArray mountPoint = writableDevice(findDevice()).volume.mountPoint;
    if (!hasDatabase(mountPoint))
        throw MediaError(MediaFailure::NotInitialised, QStringLiteral("The iPod has no database."));

    GError* error = nullptr;
    auto device = std::make_shared<IpodDevice>();
    device->mountPoint = mountPoint;
    device->db = itdb_parse(mountPoint.constData(), &error);
    if (!device->db)
        throw MediaError(
            MediaFailure::UnreadableDatabase,
            QStringLiteral("Cannot read the iPod's database: %1").arg(takeMessage(error)));
    g_clear_error(&error);
    checkDevice(*device);
    return std::make_unique<IpodApplication>(std::move(device));
}

void IpodLibraryFactory::initialiseDevice()
{
    const IpodVolume found = writableDevice(findDevice());
    const QByteArray& mountPoint = found.volume.mountPoint;
    if (hasDatabase(mountPoint))
        return;

    // The description as libgpod reads it from SysInfo (and SysInfoExtended).
    IpodDevice blank;
    blank.mountPoint = mountPoint;
    blank.db = itdb_new();
    itdb_set_mountpoint(blank.db, mountPoint.constData());
    gchar* modelNumber = itdb_device_get_sysinfo(blank.db->device, "ModelNumStr");
    const QByteArray model = modelNumber ? QByteArray(modelNumber).trimmed() : QByteArray();
    g_free(modelNumber);
    const Itdb_IpodInfo* info = itdb_device_get_ipod_info(blank.db->device);
    // A guessed model could get a database the device does not show.
    if (model.isEmpty() || !info || info->ipod_generation == ITDB_IPOD_GENERATION_UNKNOWN)
        throw MediaError(MediaFailure::UnknownModel,
                         QStringLiteral("The iPod's model is not known, so it is not set up."));
    checkDevice(blank);

    const QString label = found.volume.label.trimmed();
    const QByteArray name = (label.isEmpty() ? QStringLiteral("iPod") : label).toUtf8();
    GError* error = nullptr;
    if (!itdb_init_ipod(mountPoint.constData(), model.constData(), name.constData(), &error))
        throw MediaError(MediaFailure::WriteFailed,
                         QStringLiteral("Cannot set up the iPod: %1").arg(takeMessage(error)));
    const UniqueFd volume(open(mountPoint.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!volume.isValid() || syncfs(volume.get()) != 0)
        throw MediaError(MediaFailure::WriteFailed,
                         QStringLiteral("Cannot flush the iPod: %1").arg(systemErrorText(errno)));
}

MediaFacts probeMedia(const QByteArray& path)
{
    MediaFacts facts;
    const CommandResult probe =
        runCommand({"ffprobe", "-v", "error", "-show_entries",
                    "format=duration,bit_rate:stream=codec_type:stream_disposition=attached_pic",
                    "-of", "json", fileArgument(path)},
                   ProbeTimeoutMs);
    if (probe.startError != 0 || probe.timedOut || probe.exitCode != 0)
        return facts;
    const QJsonObject root = QJsonDocument::fromJson(probe.output).object();
    if (root.isEmpty())
        return facts;
    facts.known = true;
    const QJsonObject format = root.value(QLatin1String("format")).toObject();
    bool ok = false;
    const double seconds = format.value(QLatin1String("duration")).toString().toDouble(&ok);
    if (ok && std::isfinite(seconds) && seconds > 0 &&
        seconds * 1000 <= std::numeric_limits<int>::max())
        facts.durationMs = static_cast<int>(std::lround(seconds * 1000));
    const double bitrate = format.value(QLatin1String("bit_rate")).toString().toDouble(&ok);
    if (ok && std::isfinite(bitrate) && bitrate > 0 &&
        bitrate / 1000 <= std::numeric_limits<int>::max())
        facts.bitrateKbps = static_cast<int>(std::lround(bitrate / 1000));
    for (const QJsonValue& stream : root.value(QLatin1String("streams")).toArray()) {
        const QJsonObject fields = stream.toObject();
        // Cover art is stored as a one-picture video stream.
        if (fields.value(QLatin1String("codec_type")).toString() == QLatin1String("video") &&
            fields.value(QLatin1String("disposition"))
                    .toObject()
                    .value(QLatin1String("attached_pic"))
                    .toInt() == 0)
            facts.hasVideo = true;
    }
    return facts;
}

} // namespace tovilo
