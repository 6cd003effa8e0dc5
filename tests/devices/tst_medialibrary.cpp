#include "common/ProcessState.h"
#include "devices/MediaLibrary.h"
#include "devices/MediaProbe.h"
#include "devices/ScratchFolders.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

#include <gpod/itdb.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace tovilo;

namespace {

void makeDevice(const QString& mountPoint)
{
    QVERIFY(QDir().mkpath(mountPoint));
    GError* error = nullptr;
    const bool made =
        itdb_init_ipod(QFile::encodeName(mountPoint).constData(), nullptr, "Test", &error);
    QVERIFY2(made, error ? error->message : "itdb_init_ipod");
}

void runFfmpeg(const QStringList& arguments)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{QStringLiteral("-nostdin"), QStringLiteral("-v"),
                             QStringLiteral("error"), QStringLiteral("-y")} +
                     arguments);
    QVERIFY2(ffmpeg.waitForFinished(60000), "ffmpeg did not finish");
    QVERIFY2(ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0,
             ffmpeg.readAllStandardError().constData());
}

// Files the device holds below iPod_Control/Music.
QStringList musicFiles(const QString& mountPoint)
{
    QStringList files;
    QDirIterator it(mountPoint + QStringLiteral("/iPod_Control/Music"), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

struct TrackInfo
{
    QString title;
    QString fileType;
    guint32 mediaType;
    guint32 size;
    int length;
    QString fileOnDevice;
    bool inLibrary;
};

// Reads the device's database the way another program would after the hand-over.
QList<TrackInfo> tracksOnDevice(const QString& mountPoint)
{
    QList<TrackInfo> tracks;
    GError* error = nullptr;
    Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(mountPoint).constData(), &error);
    if (!db) {
        qWarning("cannot parse the device: %s", error ? error->message : "?");
        g_clear_error(&error);
        return tracks;
    }
    for (GList* node = db->tracks; node; node = node->next) {
        auto* track = static_cast<Itdb_Track*>(node->data);
        gchar* file = itdb_filename_on_ipod(track);
        tracks.append({QString::fromUtf8(track->title), QString::fromUtf8(track->filetype),
                       track->mediatype, track->size, track->tracklen,
                       file ? QFile::decodeName(file) : QString(),
                       itdb_playlist_contains_track(itdb_playlist_mpl(db), track) != FALSE});
        g_free(file);
    }
    itdb_free(db);
    return tracks;
}

} // namespace

class TestMediaLibrary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void creationFailsWithoutADevice();
    void creationFailsOnABadDatabase_data();
    void creationFailsOnABadDatabase();
    void refusesFoldersOffTheDevice_data();
    void refusesFoldersOffTheDevice();
    void removesStaleScratchFolders();
    void choosesTheUsersOwnDevice_data();
    void choosesTheUsersOwnDevice();
    void realMountsAsRoot();
    void blankIpodIsSetUp_data();
    void blankIpodIsSetUp();
    void tracksAreShownProperly_data();
    void tracksAreShownProperly();

    void addedFilesAreOnTheDeviceAfterRelease();
    void failedAddsLeaveTheDatabaseConsistent();
    void failedCopyIsUndone();
    void releaseReportsAFailedWrite();
    void releasedApplicationRefusesWork();
    void boundsTheDurationProbe();

private:
    QString m_device;
    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_media;
    QString m_video;
    QString m_h264Video; // Constrained Baseline in the ipod variant of MP4
    QString m_audio;
    QByteArray m_shiftJisVideo;
};

void TestMediaLibrary::initTestCase()
{
    QVERIFY(m_media.isValid());
    // Blanks and Japanese in the names; the titles must come through intact.
    m_video = m_media.filePath(QStringLiteral("日本 語.clip.mp4"));
    m_audio = m_media.filePath(QStringLiteral("song.mp3"));
    runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("testsrc=size=64x48:rate=10:duration=1"), QStringLiteral("-f"),
               QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=duration=1"),
               QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-c:a"),
               QStringLiteral("aac"), QStringLiteral("-shortest"), m_video});
    m_h264Video = m_media.filePath(QStringLiteral("h264 clip.mp4"));
    runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("testsrc=size=64x48:rate=10:duration=1.5"), QStringLiteral("-c:v"),
               QStringLiteral("libx264"), QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
               QStringLiteral("-profile:v"), QStringLiteral("baseline"), QStringLiteral("-f"),
               QStringLiteral("ipod"), m_h264Video});
    runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("sine=duration=2"), QStringLiteral("-c:a"),
               QStringLiteral("libmp3lame"), m_audio});
    // Sound only, in the container the video conversion writes.
    runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("sine=duration=2"), QStringLiteral("-c:a"), QStringLiteral("aac"),
               m_media.filePath(QStringLiteral("talk.mp4"))});
    // An MP3 with cover art, which ffprobe lists as a video stream.
    runFfmpeg({QStringLiteral("-i"), m_audio, QStringLiteral("-f"), QStringLiteral("lavfi"),
               QStringLiteral("-i"), QStringLiteral("color=red:size=64x64:duration=1"),
               QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-map"),
               QStringLiteral("0"), QStringLiteral("-map"), QStringLiteral("1"),
               QStringLiteral("-c:a"), QStringLiteral("copy"), QStringLiteral("-c:v"),
               QStringLiteral("png"), QStringLiteral("-disposition:v"),
               QStringLiteral("attached_pic"), m_media.filePath(QStringLiteral("cover.mp3"))});
    // A name written on a Japanese Windows: "日本語" in Shift-JIS bytes.
    m_shiftJisVideo = QFile::encodeName(m_media.path()) + "/\x93\xfa\x96\x7b\x8c\xea.mp4";
    QFile video(m_video);
    QVERIFY(video.open(QIODevice::ReadOnly));
    const QByteArray contents = video.readAll();
    const int copy = open(m_shiftJisVideo.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(copy >= 0);
    QCOMPARE(write(copy, contents.constData(), contents.size()), contents.size());
    close(copy);
}

void TestMediaLibrary::cleanupTestCase()
{
    // QTemporaryDir cannot name it to remove it.
    unlink(m_shiftJisVideo.constData());
}

void TestMediaLibrary::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_device = m_dir->filePath(QStringLiteral("ipod"));
    makeDevice(m_device);
}

void TestMediaLibrary::creationFailsWithoutADevice()
{
    QDir().mkpath(m_dir->filePath(QStringLiteral("usb stick")));
    auto fromList = IpodLibraryFactory::withMountPoints(
        {QFile::encodeName(m_dir->filePath(QStringLiteral("usb stick"))),
         QFile::encodeName(m_dir->filePath(QStringLiteral("missing")))});
    QVERIFY_THROWS_EXCEPTION(Error, fromList.createApplication());

    IpodLibraryFactory fromMissingMountInfo(m_dir->filePath(QStringLiteral("no-mountinfo")));
    QVERIFY_THROWS_EXCEPTION(Error, fromMissingMountInfo.createApplication());
}

void TestMediaLibrary::creationFailsOnABadDatabase_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("garbage") << QByteArray(4096, '\x5a');
    QTest::newRow("truncated header") << QByteArray("mhbd\x68\x00\x00\x00", 8);
    QTest::newRow("a pipe, no blank device") << QByteArray("fifo");
}

void TestMediaLibrary::creationFailsOnABadDatabase()
{
    QFETCH(QByteArray, contents);
    QFile database(m_device + QStringLiteral("/iPod_Control/iTunes/iTunesDB"));
    if (contents == "fifo") {
        QVERIFY(database.remove());
        QCOMPARE(mkfifo(QFile::encodeName(database.fileName()).constData(), 0600), 0);
    } else {
        QVERIFY(database.open(QIODevice::WriteOnly | QIODevice::Truncate));
        database.write(contents);
        database.close();
    }

    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    try {
        factory.createApplication();
        QFAIL("a broken database was accepted");
    } catch (const Error& error) {
        QVERIFY(!error.message().isEmpty());
        if (const auto* media = dynamic_cast<const MediaError*>(&error))
            QVERIFY(media->failure() != MediaFailure::NotInitialised);
    }
}

void TestMediaLibrary::addedFilesAreOnTheDeviceAfterRelease()
{
    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    // One playlist object per file, as the hand-over asks for it.
    app->libraryPlaylist()->addFile(m_audio);
    app->libraryPlaylist()->addFile(m_video);
    app->libraryPlaylist()->addFile(m_h264Video);
    app->release();

    const QList<TrackInfo> tracks = tracksOnDevice(m_device);
    QCOMPARE(tracks.size(), 3);
    struct Expected
    {
        QString title;
        QString fileType;
        guint32 mediaType;
        QString source;
        int length;
    };
    const Expected expected[] = {
        {QStringLiteral("song"), QStringLiteral("MPEG audio file"), ITDB_MEDIATYPE_AUDIO, m_audio,
         2000},
        {QStringLiteral("日本 語.clip"), QStringLiteral("MPEG-4 video file"), ITDB_MEDIATYPE_MOVIE,
         m_video, 1000},
        {QStringLiteral("h264 clip"), QStringLiteral("MPEG-4 video file"), ITDB_MEDIATYPE_MOVIE,
         m_h264Video, 1500},
    };
    for (const Expected& want : expected) {
        const auto track = std::find_if(tracks.begin(), tracks.end(),
                                        [&](const TrackInfo& t) { return t.title == want.title; });
        QVERIFY2(track != tracks.end(), qPrintable(want.title));
        QCOMPARE(track->fileType, want.fileType);
        QCOMPARE(track->mediaType, want.mediaType);
        QCOMPARE(qint64(track->size), QFileInfo(want.source).size());
        QVERIFY2(qAbs(track->length - want.length) < 200,
                 qPrintable(QString::number(track->length)));
        QVERIFY(track->inLibrary);
        QVERIFY(track->fileOnDevice.startsWith(m_device + QStringLiteral("/iPod_Control/Music/")));
        QCOMPARE(QFileInfo(track->fileOnDevice).size(), QFileInfo(want.source).size());
    }
    QCOMPARE(musicFiles(m_device).size(), 3);
}

void TestMediaLibrary::failedAddsLeaveTheDatabaseConsistent()
{
    QFile text(m_dir->filePath(QStringLiteral("notes.txt")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a video");
    text.close();
    QDir().mkpath(m_dir->filePath(QStringLiteral("folder.mp4")));

    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    {
        std::unique_ptr<MediaApplication> app = factory.createApplication();
        app->libraryPlaylist()->addFile(m_video);
        const QString missing = m_dir->filePath(QStringLiteral("missing.mp4"));
        try {
            app->libraryPlaylist()->addFile(missing);
            QFAIL("a missing file was added");
        } catch (const Error& error) {
            QVERIFY2(error.message().contains(missing), qPrintable(error.message()));
        }
        QVERIFY_THROWS_EXCEPTION(Error, app->libraryPlaylist()->addFile(text.fileName()));
        QVERIFY_THROWS_EXCEPTION(
            Error, app->libraryPlaylist()->addFile(m_dir->filePath(QStringLiteral("folder.mp4"))));
        // Released by going out of scope, as after a failed hand-over.
    }

    const QList<TrackInfo> tracks = tracksOnDevice(m_device);
    QCOMPARE(tracks.size(), 1);
    QCOMPARE(tracks[0].title, QStringLiteral("日本 語.clip"));
    QVERIFY(QFileInfo::exists(tracks[0].fileOnDevice));
    QCOMPARE(musicFiles(m_device).size(), 1);
}

void TestMediaLibrary::failedCopyIsUndone()
{
    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    app->libraryPlaylist()->addFile(m_audio);

    // A file where the music folder should be makes the copy fail after the track was created.
    const QString music = m_device + QStringLiteral("/iPod_Control/Music");
    QVERIFY(QDir().rename(music, music + QStringLiteral(".away")));
    QFile blocker(music);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    try {
        app->libraryPlaylist()->addFile(m_video);
        QFAIL("a copy onto a broken device succeeded");
    } catch (const Error& error) {
        QVERIFY2(error.message().contains(m_video), qPrintable(error.message()));
    }
    QVERIFY(blocker.remove());
    QVERIFY(QDir().rename(music + QStringLiteral(".away"), music));
    app->release();

    const QList<TrackInfo> tracks = tracksOnDevice(m_device);
    QCOMPARE(tracks.size(), 1);
    QCOMPARE(tracks[0].title, QStringLiteral("song"));
    QVERIFY(QFileInfo::exists(tracks[0].fileOnDevice));
}

void TestMediaLibrary::releaseReportsAFailedWrite()
{
    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    app->libraryPlaylist()->addFile(m_audio);

    // The device went away between adding and releasing.
    const QString iTunes = m_device + QStringLiteral("/iPod_Control/iTunes");
    QVERIFY(QDir(iTunes).removeRecursively());
    QFile blocker(iTunes);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QVERIFY_THROWS_EXCEPTION(Error, app->release());
    // Files no database lists would only take up space.
    QVERIFY(musicFiles(m_device).isEmpty());
    app->release(); // once released, released for good
    QVERIFY_THROWS_EXCEPTION(Error, app->libraryPlaylist());
}

void TestMediaLibrary::releasedApplicationRefusesWork()
{
    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    std::unique_ptr<MediaPlaylist> playlist = app->libraryPlaylist();
    app.reset();
    // The playlist outlived its application: it must fail, not touch a freed database.
    QVERIFY_THROWS_EXCEPTION(Error, playlist->addFile(m_audio));
    QVERIFY(tracksOnDevice(m_device).isEmpty());
    QVERIFY(musicFiles(m_device).isEmpty());
}

namespace {

dev_t deviceOf(const QString& path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : 0;
}

// Stands for UDisks2 or the mount table with a fixed list.
class FixedVolumes : public VolumeSource
{
public:
    QList<MountedVolume> volumes;
    std::optional<QList<MountedVolume>> mountedVolumes() const override { return volumes; }
};

// A device folder as a volume that passes the checks: a vfat mount of a /dev node.
MountedVolume volumeAt(const QString& folder, const QString& label = QString())
{
    return {QFile::encodeName(folder), "/dev/sdz1", "vfat", deviceOf(folder), label, false};
}

// The same, as a mount table file holds it.
QString mountTableFor(const QString& folder, const QString& path)
{
    const dev_t device = deviceOf(folder);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write("40 27 " + QByteArray::number(major(device)) + ':' +
               QByteArray::number(minor(device)) + " / " +
               QFile::encodeName(folder).replace(" ", "\\040") + " rw - vfat /dev/sdz1 rw\n");
    return path;
}

bool run(const QString& program, const QStringList& arguments, QString* errors = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (errors)
        *errors = QString::fromLocal8Bit(process.readAllStandardError());
    return ok;
}

QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            files.insert(file.fileName(), file.readAll());
    }
    return files;
}

} // namespace

// The hand-over's media probe: an ffprobe that hangs gives no facts after a few seconds
// and leaves nothing running.
void TestMediaLibrary::boundsTheDurationProbe()
{
    QTemporaryDir dir;
    QFile probe(dir.filePath(QStringLiteral("ffprobe")));
    QVERIFY(probe.open(QIODevice::WriteOnly));
    probe.write("#!/bin/sh\n/bin/sleep 600 &\necho $! > \"$0.pid\"\nwait\n");
    probe.close();
    QVERIFY(probe.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.path()));
    const MediaFacts facts = probeMedia("/dev/null");
    qputenv("PATH", path);
    QVERIFY(!facts.known);
    QFile pidFile(probe.fileName() + QStringLiteral(".pid"));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const QByteArray grandchild = pidFile.readAll().trimmed();
    QVERIFY(!grandchild.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(test::processEnded(grandchild.toLongLong()), 5000);
}

void TestMediaLibrary::choosesTheUsersOwnDevice_data()
{
    QTest::addColumn<QByteArray>("mountInfo");
    QTest::addColumn<QString>("expected");
    // @X@ stands for the folder "X" (escaped as the kernel does), @DEV@ for the major:minor
    // of the file system the folders are on. "ipod A" and "ipod B" are sound devices; the
    // folders whose names start with "a " sort before them and hold an iPod that must not be
    // taken.
    const QByteArray a = "40 27 @DEV@ / @ipod A@ rw - vfat /dev/sdb1 rw\n";
    const QByteArray b = "41 27 @DEV@ / @ipod B@ rw shared:5 master:1 - vfat /dev/sdc1 rw\n";
    const QByteArray proc = "22 27 0:21 / /proc rw - proc proc rw\n";
    QTest::newRow("A then B") << proc + a + b << QStringLiteral("ipod A");
    QTest::newRow("B then A") << b + a << QStringLiteral("ipod A");
    QTest::newRow("no device") << proc << QString();
    QTest::newRow("tmpfs is no device")
        << "30 27 @DEV@ / @a shm@ rw - tmpfs tmpfs rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("source not a /dev node")
        << "30 27 @DEV@ / @a plain@ rw - ext4 rootfs rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("automount point")
        << "30 27 @DEV@ / @a plain@ rw - autofs systemd-1 rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("network file system")
        << "30 27 @DEV@ / @a plain@ rw - nfs4 /dev/server:/export rw\n" + b
        << QStringLiteral("ipod B");
    QTest::newRow("FUSE mount is not looked into")
        << "30 27 @DEV@ / @a fuse@ rw - fuse.sshfs /dev/fuse rw\n"
           "31 27 @DEV@ / @a fuse@ rw - fuseblk /dev/sdd1 rw\n" +
               b
        << QStringLiteral("ipod B");
    QTest::newRow("world-writable root, as /dev/shm")
        << "30 27 @DEV@ / @a shm@ rw - ext4 /dev/sdd1 rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("group-writable iPod_Control")
        << "30 27 @DEV@ / @a group@ rw - ext4 /dev/sdd1 rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("another user's")
        << "30 27 @DEV@ / @a other@ rw - ext4 /dev/sdd1 rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("iPod_Control a link off the device")
        << "30 27 @DEV@ / @a link@ rw - ext4 /dev/sdd1 rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("folder not on the mounted file system")
        << "30 27 8:99 / @a plain@ rw - ext4 /dev/sdd1 rw\n" + b << QStringLiteral("ipod B");
    QTest::newRow("a blank iPod is a device")
        << "30 27 @DEV@ / @a blank@ rw - vfat /dev/sdd1 rw\n" + b << QStringLiteral("a blank");
}

void TestMediaLibrary::choosesTheUsersOwnDevice()
{
    QFETCH(QByteArray, mountInfo);
    QFETCH(QString, expected);
    for (const char* name :
         {"ipod A", "ipod B", "a shm", "a plain", "a fuse", "a group", "a other", "a link"})
        makeDevice(m_dir->filePath(QString::fromUtf8(name)));
    const QByteArray shm = QFile::encodeName(m_dir->filePath(QStringLiteral("a shm")));
    QCOMPARE(chmod(shm.constData(), 01777), 0);
    const QByteArray group =
        QFile::encodeName(m_dir->filePath(QStringLiteral("a group/iPod_Control")));
    QCOMPARE(chmod(group.constData(), 0775), 0);
    const QByteArray other = QFile::encodeName(m_dir->filePath(QStringLiteral("a other")));
    const bool otherOwned = chown(other.constData(), 4242, 4242) == 0 &&
                            chown((other + "/iPod_Control").constData(), 4242, 4242) == 0;
    if (QByteArray(QTest::currentDataTag()) == "another user's" && !otherOwned)
        QSKIP("Files cannot be given to another user here (not root).");
    const QString link = m_dir->filePath(QStringLiteral("a link/iPod_Control"));
    QVERIFY(QDir().rename(link, m_dir->filePath(QStringLiteral("elsewhere"))));
    QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("elsewhere")), link));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("a blank/iPod_Control/Device"))));

    const dev_t device = deviceOf(m_dir->path());
    mountInfo.replace("@DEV@",
                      QByteArray::number(major(device)) + ':' + QByteArray::number(minor(device)));
    for (const char* name : {"ipod A", "ipod B", "a shm", "a plain", "a fuse", "a group", "a other",
                             "a link", "a blank"})
        mountInfo.replace(
            '@' + QByteArray(name) + '@',
            QFile::encodeName(m_dir->filePath(QString::fromUtf8(name))).replace(" ", "\\040"));
    QFile file(m_dir->filePath(QStringLiteral("mountinfo")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(mountInfo);
    file.close();

    // Opening the FUSE folder would be looking into it; a dead one would hang the program.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(
                watch, QFile::encodeName(m_dir->filePath(QStringLiteral("a fuse"))).constData(),
                IN_OPEN | IN_ACCESS) >= 0);

    IpodLibraryFactory factory(file.fileName());
    QCOMPARE(factory.deviceMountPoint(),
             expected.isEmpty() ? QByteArray() : QFile::encodeName(m_dir->filePath(expected)));
    char events[4096];
    QCOMPARE(read(watch, events, sizeof events), ssize_t(-1));
    close(watch);
    if (expected.isEmpty())
        QVERIFY_THROWS_EXCEPTION(Error, factory.createApplication());
}

void TestMediaLibrary::realMountsAsRoot()
{
    if (geteuid() != 0)
        QSKIP("Mounting disk images needs root.");
    // A disk image holding an iPod, and a tmpfs with one planted where anybody may write.
    const QString content = m_dir->filePath(QStringLiteral("content"));
    makeDevice(content);
    const QString image = m_dir->filePath(QStringLiteral("ipod.img"));
    QString errors;
    QVERIFY2(run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("16M"), image},
                 &errors),
             qPrintable(errors));
    QVERIFY2(run(QStringLiteral("mkfs.ext4"),
                 {QStringLiteral("-q"), QStringLiteral("-d"), content, image}, &errors),
             qPrintable(errors));
    const QString ipod = m_dir->filePath(QStringLiteral("mnt/ipod"));
    const QString plant = m_dir->filePath(QStringLiteral("mnt/a plant"));
    QVERIFY(QDir().mkpath(ipod) && QDir().mkpath(plant));
    if (!run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, ipod},
             &errors))
        QSKIP(qPrintable(QStringLiteral("Loop devices are refused here: ") + errors));
    const auto unmount = qScopeGuard([&] {
        run(QStringLiteral("umount"), {ipod});
        run(QStringLiteral("umount"), {plant});
    });
    QVERIFY2(run(QStringLiteral("mount"),
                 {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                  QStringLiteral("mode=1777"), QStringLiteral("tovilo-plant"), plant},
                 &errors),
             qPrintable(errors));
    makeDevice(plant);

    // The machine's real mount table, narrowed to this test's mounts.
    FixedVolumes mine;
    const QByteArray prefix = QFile::encodeName(m_dir->filePath(QStringLiteral("mnt/")));
    for (const MountedVolume& volume :
         volumesFromMountTable(QStringLiteral("/proc/self/mountinfo")))
        if (volume.mountPoint.startsWith(prefix))
            mine.volumes.append(volume);
    QCOMPARE(mine.volumes.size(), 2);
    IpodLibraryFactory factory(QStringLiteral("/proc/self/mountinfo"), &mine);
    QCOMPARE(factory.deviceMountPoint(), QFile::encodeName(ipod));
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    app->libraryPlaylist()->addFile(m_audio);
    app->release();
    QCOMPARE(tracksOnDevice(ipod).size(), 1);
    QVERIFY(tracksOnDevice(plant).isEmpty());
}

void TestMediaLibrary::blankIpodIsSetUp_data()
{
    QTest::addColumn<QByteArray>("sysInfo");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("failure"); // -1: set up
    QTest::addColumn<QString>("name");
    const int none = -1;
    QTest::newRow("5G, named after its label")
        << QByteArray("ModelNumStr: MA002\n") << QStringLiteral("タロウのiPod") << none
        << QStringLiteral("タロウのiPod");
    QTest::newRow("no label") << QByteArray("ModelNumStr: xA446\n") << QString() << none
                              << QStringLiteral("iPod");
    QTest::newRow("unknown model") << QByteArray("ModelNumStr: MZ999\n") << QString()
                                   << int(MediaFailure::UnknownModel) << QString();
    QTest::newRow("no model") << QByteArray("BoardHwName: iPod\n") << QString()
                              << int(MediaFailure::UnknownModel) << QString();
    QTest::newRow("a model libgpod cannot write")
        << QByteArray("ModelNumStr: MC525\n") << QString() << int(MediaFailure::UnsupportedModel)
        << QString();
}

void TestMediaLibrary::blankIpodIsSetUp()
{
    QFETCH(QByteArray, sysInfo);
    QFETCH(QString, label);
    QFETCH(int, failure);
    QFETCH(QString, name);
    // As a restored iPod comes: its description, no database.
    const QString blank = m_dir->filePath(QStringLiteral("blank"));
    QVERIFY(QDir().mkpath(blank + QStringLiteral("/iPod_Control/Device")));
    QFile sysInfoFile(blank + QStringLiteral("/iPod_Control/Device/SysInfo"));
    QVERIFY(sysInfoFile.open(QIODevice::WriteOnly));
    sysInfoFile.write(sysInfo);
    sysInfoFile.close();
    const QMap<QString, QByteArray> before = snapshot(blank);

    FixedVolumes volumes;
    volumes.volumes = {volumeAt(blank, label)};
    IpodLibraryFactory factory(mountTableFor(blank, m_dir->filePath(QStringLiteral("mountinfo"))),
                               &volumes);
    try {
        factory.createApplication();
        QFAIL("a blank iPod was opened");
    } catch (const MediaError& error) {
        QCOMPARE(error.failure(), MediaFailure::NotInitialised);
    }
    if (failure >= 0) {
        try {
            factory.initialiseDevice();
            QFAIL("an iPod of unknown model was set up");
        } catch (const MediaError& error) {
            QCOMPARE(int(error.failure()), failure);
        }
        QCOMPARE(snapshot(blank), before);
        return;
    }
    factory.initialiseDevice();
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    app->libraryPlaylist()->addFile(m_video);
    app->release();

    GError* error = nullptr;
    Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(blank).constData(), &error);
    QVERIFY2(db, error ? error->message : "itdb_parse");
    const Itdb_IpodInfo* info = itdb_device_get_ipod_info(db->device);
    const QByteArray model = sysInfo.mid(sysInfo.indexOf(':') + 3).trimmed();
    QCOMPARE(QByteArray(info->model_number), model);
    QCOMPARE(QString::fromUtf8(itdb_playlist_mpl(db)->name), name);
    QCOMPARE(g_list_length(db->tracks), 1u);
    itdb_free(db);
    // Set up once: a second call changes nothing.
    const QMap<QString, QByteArray> done = snapshot(blank);
    factory.initialiseDevice();
    QCOMPARE(snapshot(blank), done);
}

void TestMediaLibrary::tracksAreShownProperly_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("title");
    QTest::addColumn<guint32>("mediaType");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("thumbnail");
    QTest::newRow("video") << QFile::encodeName(m_video) << QStringLiteral("日本 語.clip")
                           << guint32(ITDB_MEDIATYPE_MOVIE) << 1000 << true;
    QTest::newRow("Shift-JIS name") << m_shiftJisVideo << QStringLiteral("日本語")
                                    << guint32(ITDB_MEDIATYPE_MOVIE) << 1000 << true;
    QTest::newRow("MP4 without picture")
        << QFile::encodeName(m_media.filePath(QStringLiteral("talk.mp4"))) << QStringLiteral("talk")
        << guint32(ITDB_MEDIATYPE_AUDIO) << 2000 << false;
    QTest::newRow("MP3 with cover art")
        << QFile::encodeName(m_media.filePath(QStringLiteral("cover.mp3")))
        << QStringLiteral("cover") << guint32(ITDB_MEDIATYPE_AUDIO) << 2000 << false;
}

void TestMediaLibrary::tracksAreShownProperly()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, title);
    QFETCH(guint32, mediaType);
    QFETCH(int, length);
    QFETCH(bool, thumbnail);
    // A 5.5G video iPod shows pictures in its video menu.
    const QString device = m_dir->filePath(QStringLiteral("video ipod"));
    QVERIFY(QDir().mkpath(device));
    GError* error = nullptr;
    QVERIFY(itdb_init_ipod(QFile::encodeName(device).constData(), "MA446", "Test", &error));

    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(device)});
    std::unique_ptr<MediaApplication> app = factory.createApplication();
    app->libraryPlaylist()->addFile(toUtf16(file));
    app->release();

    Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(device).constData(), &error);
    QVERIFY2(db, error ? error->message : "itdb_parse");
    QCOMPARE(g_list_length(db->tracks), 1u);
    auto* track = static_cast<Itdb_Track*>(db->tracks->data);
    const QString shownTitle = QString::fromUtf8(track->title);
    const guint32 shownType = track->mediatype;
    const int shownLength = track->tracklen;
    const int bitrate = track->bitrate;
    const bool hasThumbnail = itdb_track_has_thumbnails(track);
    itdb_free(db);
    QCOMPARE(shownTitle, title);
    QCOMPARE(shownType, mediaType);
    QVERIFY2(qAbs(shownLength - length) < 200, qPrintable(QString::number(shownLength)));
    QVERIFY(bitrate > 0);
    QCOMPARE(hasThumbnail, thumbnail);
    if (thumbnail)
        QVERIFY(QFileInfo::exists(device + QStringLiteral("/iPod_Control/Artwork/ArtworkDB")));
}

// A folder the hand-over writes into that leads off the device refuses it before anything is
// written; a missing one is made on the device.
void TestMediaLibrary::refusesFoldersOffTheDevice_data()
{
    QTest::addColumn<QString>("folder"); // inside iPod_Control
    QTest::addColumn<QString>("how");
    QTest::newRow("a music folder a link") << "Music/F00"
                                           << "link";
    QTest::newRow("Artwork a link") << "Artwork"
                                    << "link";
    QTest::newRow("a music folder on another file system") << "Music/F01"
                                                           << "mount";
    QTest::newRow("a missing Artwork is made") << "Artwork"
                                               << "missing";
}

void TestMediaLibrary::refusesFoldersOffTheDevice()
{
    QFETCH(QString, folder);
    QFETCH(QString, how);
    const QString path = m_device + QStringLiteral("/iPod_Control/") + folder;
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere) && QDir(path).removeRecursively());
    QString errors;
    if (how == QLatin1String("link")) {
        QVERIFY(QFile::link(elsewhere, path));
    } else if (how == QLatin1String("mount")) {
        QVERIFY(QDir().mkpath(path));
        if (geteuid() != 0 ||
            !run(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                           QStringLiteral("tovilo-elsewhere"), path}))
            QSKIP("Mounting a tmpfs needs root.");
    }
    const auto unmount = qScopeGuard([&] {
        if (how == QLatin1String("mount"))
            run(QStringLiteral("umount"), {path});
    });
    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    if (how == QLatin1String("missing")) {
        std::unique_ptr<MediaApplication> app = factory.createApplication();
        app->libraryPlaylist()->addFile(m_video);
        app->release();
        QVERIFY(QFileInfo(path).isDir() && !QFileInfo(path).isSymLink());
        return;
    }
    try {
        factory.createApplication();
        QFAIL("a folder off the device was accepted");
    } catch (const MediaError& error) {
        QCOMPARE(error.failure(), MediaFailure::ForeignFolder);
    }
    QVERIFY(QDir(elsewhere).isEmpty());
}

// What a killed hand-over left goes at the next start: only marked folders in the private
// scratch place, never what a link there leads to, nor an unmarked folder.
void TestMediaLibrary::removesStaleScratchFolders()
{
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir->path()));
    const auto restore = qScopeGuard([&] { qputenv("XDG_CACHE_HOME", oldCache); });
    std::unique_ptr<QTemporaryDir> left = makeScratchFolder();
    QVERIFY(left && left->path().startsWith(m_dir->path()));
    left->setAutoRemove(false);
    QVERIFY(QFile(left->filePath(QStringLiteral("thumbnail-1.png"))).open(QIODevice::WriteOnly));
    std::unique_ptr<QTemporaryDir> elsewhere = makeScratchFolder(); // a marked folder...
    QVERIFY(elsewhere);
    const QString target = m_dir->filePath(QStringLiteral("target"));
    QVERIFY(QDir().rename(elsewhere->path(), target)); // ...moved out of the scratch place
    const QString parent = QFileInfo(left->path()).path();
    QVERIFY(QFile::link(target, parent + QStringLiteral("/Tovilo-linked")));
    QVERIFY(QDir().mkpath(parent + QStringLiteral("/Tovilo-nomark/inside")));
    removeStaleScratchFolders();
    QVERIFY(!QFileInfo::exists(left->path()));
    QVERIFY(QFileInfo::exists(target + QStringLiteral("/.tovilo-scratch")));
    QVERIFY(QFileInfo::exists(parent + QStringLiteral("/Tovilo-nomark/inside")));
}

QTEST_GUILESS_MAIN(TestMediaLibrary)
#include "tst_medialibrary.moc"
