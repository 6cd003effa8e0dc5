#include "platform/MediaLibrary.h"

#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/MountInfo.h"
#include "platform/PathText.h"

#include <gpod/itdb.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tovilo {

namespace {

// A hung probe must not freeze the window that is handing files over.
constexpr int ProbeTimeoutMs = 15000;

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

// The kinds the converter writes, plus their close relatives.
const FileKind* fileKindOf(const QByteArray& path)
{
    static const FileKind mpeg4Video{"MPEG-4 video file", ITDB_MEDIATYPE_MOVIE, true};
    static const FileKind mpegAudio{"MPEG audio file", ITDB_MEDIATYPE_AUDIO, false};
    static const FileKind aacAudio{"AAC audio file", ITDB_MEDIATYPE_AUDIO, false};
    const QByteArray extension = extractFileExt(path).toLower();
    if (extension == ".mp4" || extension == ".m4v")
        return &mpeg4Video;
    if (extension == ".mp3")
        return &mpegAudio;
    if (extension == ".m4a")
        return &aacAudio;
    return nullptr;
}

// The device's database; shared by the application and its playlists so neither outlives it.
struct IpodDevice
{
    Itdb_iTunesDB* db = nullptr;
    bool changed = false;

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
        const FileKind* kind = fileKindOf(file);
        if (!kind)
            throw Error(QStringLiteral("%1 is not a file type the device plays.").arg(path));

        const QByteArray name = extractFileName(file);
        const QString title = toUtf16(name.chopped(extractFileExt(name).size()));

        Itdb_Track* track = itdb_track_new();
        track->title = glibString(title);
        track->filetype = g_strdup(kind->fileType);
        track->mediatype = kind->mediaType;
        track->movie_flag = kind->video ? 1 : 0;
        track->size = static_cast<guint32>(info.st_size);
        track->tracklen = mediaDurationMs(file);
        track->time_added = track->time_modified = std::time(nullptr);
        itdb_track_add(db, track, -1);

        GError* error = nullptr;
        if (!itdb_cp_track_to_ipod(track, file.constData(), &error)) {
            const QString message = takeMessage(error);
            removeTrack(track);
            throw Error(QStringLiteral("Cannot copy %1 to the device: %2").arg(path, message));
        }
        itdb_playlist_add_track(library, track, -1);
        m_device->changed = true;
    }

private:
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
        if (!itdb_write(db.get(), &error))
            throw Error(
                QStringLiteral("Cannot write the device's database: %1").arg(takeMessage(error)));
    }

private:
    std::shared_ptr<IpodDevice> m_device;
};

} // namespace

IpodLibraryFactory::IpodLibraryFactory(QString mountInfoPath)
    : m_mountInfoPath(std::move(mountInfoPath))
{
}

IpodLibraryFactory IpodLibraryFactory::withMountPoints(QList<QByteArray> mountPoints)
{
    IpodLibraryFactory factory{QString()};
    factory.m_mountPoints = std::move(mountPoints);
    return factory;
}

QByteArray IpodLibraryFactory::findDevice(const QList<QByteArray>& mountPoints)
{
    for (const QByteArray& mountPoint : mountPoints) {
        // libgpod resolves the path without regard to letter case, as on the device's FAT.
        if (gchar* database = itdb_get_itunesdb_path(mountPoint.constData())) {
            const bool isFile = g_file_test(database, G_FILE_TEST_IS_REGULAR);
            g_free(database);
            if (isFile)
                return mountPoint;
        }
    }
    return {};
}

QByteArray IpodLibraryFactory::deviceMountPoint() const
{
    QList<QByteArray> candidates = m_mountPoints;
    if (!m_mountInfoPath.isEmpty()) {
        for (const MountEntry& mount : readMountInfo(m_mountInfoPath)) {
            // Looking into an automount point would mount whatever is behind it.
            if (mount.fsType != "autofs")
                candidates.append(mount.mountPoint);
        }
    }
    return findDevice(candidates);
}

std::unique_ptr<MediaApplication> IpodLibraryFactory::createApplication()
{
    const QByteArray mountPoint = deviceMountPoint();
    if (mountPoint.isEmpty())
        throw Error(QStringLiteral("No iPod is connected."));

    GError* error = nullptr;
    auto device = std::make_shared<IpodDevice>();
    device->db = itdb_parse(mountPoint.constData(), &error);
    if (!device->db)
        throw Error(QStringLiteral("Cannot read the iPod's database: %1").arg(takeMessage(error)));
    g_clear_error(&error);
    return std::make_unique<IpodApplication>(std::move(device));
}

int mediaDurationMs(const QByteArray& path)
{
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    QByteArray file = path;
    // A name starting with "-" would be read as an option.
    if (!file.startsWith('/'))
        file.prepend("./");
    const char* argv[] = {"ffprobe",
                          "-v",
                          "error",
                          "-show_entries",
                          "format=duration",
                          "-of",
                          "default=nw=1:nk=1",
                          file.constData(),
                          nullptr};
    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, "ffprobe", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (spawned != 0) {
        close(output[0]);
        return 0;
    }

    QByteArray text;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ProbeTimeoutMs);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd readable{output[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[256];
        const ssize_t got = read(output[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, got);
    }
    close(output[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 0;

    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 ||
        seconds * 1000 > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(std::lround(seconds * 1000));
}

} // namespace tovilo
