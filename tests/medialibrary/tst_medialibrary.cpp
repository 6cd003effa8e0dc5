#include "platform/Error.h"
#include "platform/MediaLibrary.h"

#include <gpod/itdb.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
    void init();

    void creationFailsWithoutADevice();
    void creationFailsOnABadDatabase_data();
    void creationFailsOnABadDatabase();
    void findsTheFirstDeviceAmongTheMounts_data();
    void findsTheFirstDeviceAmongTheMounts();

    void addedFilesAreOnTheDeviceAfterRelease();
    void failedAddsLeaveTheDatabaseConsistent();
    void failedCopyIsUndone();
    void releaseReportsAFailedWrite();
    void releasedApplicationRefusesWork();

private:
    QString m_device;
    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_media;
    QString m_video;
    QString m_h264Video; // Constrained Baseline in the ipod variant of MP4
    QString m_audio;
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
}

void TestMediaLibrary::creationFailsOnABadDatabase()
{
    QFETCH(QByteArray, contents);
    QFile database(m_device + QStringLiteral("/iPod_Control/iTunes/iTunesDB"));
    QVERIFY(database.open(QIODevice::WriteOnly | QIODevice::Truncate));
    database.write(contents);
    database.close();

    auto factory = IpodLibraryFactory::withMountPoints({QFile::encodeName(m_device)});
    try {
        factory.createApplication();
        QFAIL("a broken database was accepted");
    } catch (const Error& error) {
        QVERIFY(!error.message().isEmpty());
    }
}

void TestMediaLibrary::findsTheFirstDeviceAmongTheMounts_data()
{
    QTest::addColumn<QByteArray>("mountInfo");
    QTest::addColumn<QString>("expected");
    // @A@ and @B@ stand for two devices whose paths hold blanks, @E@ for a folder without one.
    const QByteArray proc = "22 27 0:21 / /proc rw - proc proc rw\n";
    const QByteArray a = "40 27 8:1 / @A@ rw - vfat /dev/sdb1 rw\n";
    const QByteArray b = "41 27 8:2 / @B@ rw shared:5 master:1 - vfat /dev/sdc1 rw\n";
    const QByteArray plain = "39 27 8:3 / @E@ rw shared:4 - ext4 /dev/sda1 rw\n";
    const QByteArray automount = "40 27 0:50 / @A@ rw - autofs systemd-1 rw\n";
    // With two devices the lower mount point wins, whatever order they were mounted in.
    QTest::newRow("A then B") << proc + a + b << QStringLiteral("ipod A");
    QTest::newRow("B then A") << proc + b + a << QStringLiteral("ipod A");
    QTest::newRow("device after a plain volume") << plain + b << QStringLiteral("ipod B");
    QTest::newRow("automount point skipped") << automount + b << QStringLiteral("ipod B");
    QTest::newRow("no device") << proc + plain << QString();
}

void TestMediaLibrary::findsTheFirstDeviceAmongTheMounts()
{
    QFETCH(QByteArray, mountInfo);
    QFETCH(QString, expected);
    makeDevice(m_dir->filePath(QStringLiteral("ipod A")));
    makeDevice(m_dir->filePath(QStringLiteral("ipod B")));
    // Sorts before the devices, so it is looked into first.
    QDir().mkpath(m_dir->filePath(QStringLiteral("empty volume")));
    const auto escaped = [&](const char* name) {
        return QFile::encodeName(m_dir->filePath(QString::fromUtf8(name))).replace(" ", "\\040");
    };
    mountInfo.replace("@A@", escaped("ipod A"))
        .replace("@B@", escaped("ipod B"))
        .replace("@E@", escaped("empty volume"));
    QFile file(m_dir->filePath(QStringLiteral("mountinfo")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(mountInfo);
    file.close();

    IpodLibraryFactory factory(file.fileName());
    const QByteArray found = factory.deviceMountPoint();
    QCOMPARE(found,
             expected.isEmpty() ? QByteArray() : QFile::encodeName(m_dir->filePath(expected)));
    if (expected.isEmpty())
        QVERIFY_THROWS_EXCEPTION(Error, factory.createApplication());
    else
        QVERIFY(factory.createApplication() != nullptr);
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

QTEST_GUILESS_MAIN(TestMediaLibrary)
#include "tst_medialibrary.moc"
