// The hand-over to iPods of each generation, on device folders made here: by the engine for
// each model, and from the main window around it.
#include "app/UnitMain.h"
#include "common/Controls.h"
#include "common/FakeEngineServices.h"
#include "common/FakeServices.h"
#include "devices/MediaLibrary.h"
#include "engine/ConversionEngine.h"
#include "widgets/pngextra.h"

#include <gpod/itdb.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace tovilo;
using namespace tovilo::test;

namespace {

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(contents) == contents.size();
}

// Where the FireWire id is, as the udev helper (SysInfoExtended, with the database version
// that tells libgpod how to sign) or an older tool (SysInfo) leaves it.
enum class IdIn
{
    Nowhere,
    SysInfo,
    SysInfoExtended
};

void describeDevice(const QString& mountPoint, const QString& model, IdIn id, int dbVersion = 0)
{
    const QString dir = mountPoint + QStringLiteral("/iPod_Control/Device/");
    QByteArray sysInfo;
    if (!model.isEmpty())
        sysInfo += "ModelNumStr: " + model.toLatin1() + '\n';
    if (id == IdIn::SysInfo)
        sysInfo += "FirewireGuid: 0x000A27001234ABCD\n";
    QVERIFY(writeFile(dir + QStringLiteral("SysInfo"), sysInfo));
    QFile::remove(dir + QStringLiteral("SysInfoExtended"));
    if (id == IdIn::SysInfoExtended)
        QVERIFY(writeFile(dir + QStringLiteral("SysInfoExtended"),
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<plist version=\"1.0\">\n<dict>\n"
                          "\t<key>FireWireGUID</key>\n\t<string>000A27001234ABCD</string>\n" +
                              (dbVersion ? "\t<key>DBVersion</key>\n\t<integer>" +
                                               QByteArray::number(dbVersion) + "</integer>\n"
                                         : QByteArray()) +
                              "</dict>\n</plist>\n"));
}

// Every file below the device's control folder with a digest of its contents.
QMap<QString, QByteArray> snapshot(const QString& mountPoint)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(mountPoint, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(path, QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1));
    }
    return files;
}

// The titles in the library playlist, read back as another program would.
QStringList libraryTitles(const QString& mountPoint)
{
    QStringList titles;
    GError* error = nullptr;
    Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(mountPoint).constData(), &error);
    if (!db) {
        qWarning("cannot parse the device: %s", error ? error->message : "?");
        g_clear_error(&error);
        return titles;
    }
    for (GList* node = itdb_playlist_mpl(db)->members; node; node = node->next) {
        auto* track = static_cast<Itdb_Track*>(node->data);
        gchar* file = itdb_filename_on_ipod(track);
        if (file && QFileInfo::exists(QFile::decodeName(file)))
            titles << QString::fromUtf8(track->title);
        g_free(file);
    }
    itdb_free(db);
    titles.sort();
    return titles;
}

QByteArray databaseBytes(const QString& mountPoint, int from, int length)
{
    QFile file(mountPoint + QStringLiteral("/iPod_Control/iTunes/iTunesDB"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().mid(from, length);
}

// One mounted volume, as UDisks2 or the mount table would describe the device folder.
class OneVolume : public VolumeSource
{
public:
    MountedVolume volume;
    std::optional<QList<MountedVolume>> mountedVolumes() const override
    {
        return QList<MountedVolume>{volume};
    }
};

} // namespace

Q_DECLARE_METATYPE(IdIn)
Q_DECLARE_METATYPE(std::optional<RemovalFailure>)

class TestIpodHandOver : public QObject
{
    Q_OBJECT

    QTemporaryDir m_media;
    QString m_video;
    QString m_audio;
    QString m_previousCurrent;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_media.isValid());
        // The window converts through the stand-in encoder before it hands over.
        QVERIFY(QDir(m_media.path()).mkpath(QStringLiteral("lib")));
        QVERIFY(QFile::link(QStringLiteral(FAKE_ENCODER),
                            m_media.filePath(QStringLiteral("lib/ffmpeg"))));
        m_previousCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_media.path()));
        m_video = m_media.filePath(QStringLiteral("clip.mp4"));
        m_audio = m_media.filePath(QStringLiteral("song.mp3"));
        // The device takes files by their type; what is in them does not matter here.
        QVERIFY(writeFile(m_video, QByteArray(4096, 'v')));
        QVERIFY(writeFile(m_audio, QByteArray(4096, 'a')));
    }

    void cleanupTestCase() { QDir::setCurrent(m_previousCurrent); }

    void handOver_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<IdIn>("id");
        QTest::addColumn<int>("dbVersion");     // in SysInfoExtended, 0 for none
        QTest::addColumn<bool>("signedBefore"); // the database was signed by an earlier sync
        QTest::addColumn<bool>("handedOver");   // the completion message is shown
        QTest::addColumn<QList<TConvertStatus>>("statuses"); // of [song.mp3, clip.mp4]
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<bool>("hash58");
        QTest::addColumn<QString>("label");

        const QList<TConvertStatus> both{csTransferred, csTransferred};
        const QList<TConvertStatus> none{csConverted, csConverted};
        const QStringList all{QStringLiteral("clip"), QStringLiteral("song")};
        const QStringList nothing;
        const QString noId = QStringLiteral("iPodの機器情報がありません。接続し直してください");

        QTest::newRow("5.5G video")
            << "MA446" << IdIn::Nowhere << 0 << false << true << both << all << false << QString();
        QTest::newRow("classic, id from the udev helper")
            << "MB029" << IdIn::SysInfoExtended << 3 << false << true << both << all << true
            << QString();
        QTest::newRow("classic without id")
            << "MB029" << IdIn::Nowhere << 0 << false << false << none << nothing << false << noId;
        // libgpod would write it unsigned: the device would show nothing.
        QTest::newRow("classic, id without database version")
            << "MB029" << IdIn::SysInfoExtended << 0 << false << false << none << nothing << false
            << noId;
        QTest::newRow("nano 3G, id in SysInfo")
            << "MA978" << IdIn::SysInfo << 0 << false << true << both << all << true << QString();
        QTest::newRow("nano 5G without HashInfo")
            << "MC027" << IdIn::SysInfoExtended << 4 << false << false << none << nothing << false
            << QStringLiteral("iPodのHashInfoがないため登録できません");
        QTest::newRow("nano 6G") << "MC525" << IdIn::SysInfoExtended << 5 << false << false << none
                                 << nothing << false
                                 << QStringLiteral("この機種のiPodには登録できません");
        QTest::newRow("unknown model, signed database")
            << "MZ999" << IdIn::Nowhere << 0 << true << false << none << nothing << true
            << QStringLiteral("機種を判別できないiPodには登録できません");
        QTest::newRow("unknown model, plain database")
            << "" << IdIn::Nowhere << 0 << false << true << both << all << false << QString();
        QTest::newRow("nano 2G: the song only") << "MA477" << IdIn::Nowhere << 0 << false << false
                                                << QList<TConvertStatus>{csTransferred, csConverted}
                                                << QStringList{QStringLiteral("song")} << false
                                                << QStringLiteral("このiPodは動画を再生できません");
    }

    void handOver()
    {
        QFETCH(QString, model);
        QFETCH(IdIn, id);
        QFETCH(int, dbVersion);
        QFETCH(bool, signedBefore);
        QFETCH(bool, handedOver);
        QFETCH(QList<TConvertStatus>, statuses);
        QFETCH(QStringList, titles);
        QFETCH(bool, hash58);
        QFETCH(QString, label);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString device = dir.filePath(QStringLiteral("IPOD"));
        QVERIFY(QDir().mkpath(device));
        GError* error = nullptr;
        QVERIFY(itdb_init_ipod(QFile::encodeName(device).constData(), nullptr, "Test", &error));
        if (signedBefore) {
            // As a classic synced elsewhere whose model later reads as unknown.
            describeDevice(device, QStringLiteral("MB029"), IdIn::SysInfo);
            Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(device).constData(), &error);
            QVERIFY(db && itdb_write(db, &error));
            itdb_free(db);
        }
        describeDevice(device, model, id, dbVersion);
        const QMap<QString, QByteArray> before = snapshot(device);

        IpodLibraryFactory library = IpodLibraryFactory::withMountPoints(
            {QFile::encodeName(dir.filePath(QStringLiteral("not a device"))),
             QFile::encodeName(device)});
        FakeRunner runner;
        ConversionEngine engine(runner, noDesktop(), library);
        // The last job is handed over first: the video meets the nano 2G before the song.
        for (const QString& output : {m_audio, m_video}) {
            auto job = std::make_unique<ThConvertInfoObject>();
            job->OutputFile = output;
            job->Status = csConverted;
            engine.jobs().Add(std::move(job));
        }
        std::optional<HandOverResult> finished;
        connect(&engine, &ConversionEngine::handOverFinished, this,
                [&](const HandOverResult& result) { finished = result; });
        engine.handOver().AddToiTunes();
        QTRY_VERIFY(finished);

        QCOMPARE(finished->outcome == HandOverResult::Done, handedOver);
        QList<TConvertStatus> actual;
        for (int i = 0; i < engine.jobs().Count(); ++i)
            actual << engine.jobs().Items(i)->Status;
        QCOMPARE(actual, statuses);
        QCOMPARE(finished->situation, label);

        if (titles.isEmpty()) {
            // Refused: not a byte changed on the device.
            QCOMPARE(snapshot(device), before);
        } else {
            QCOMPARE(libraryTitles(device), titles);
        }
        const QByteArray hash = databaseBytes(device, 0x58, 20);
        QCOMPARE(hash.count('\0') < hash.size(), hash58);
    }

    void aroundTheHandOver_data()
    {
        QTest::addColumn<bool>("blank");       // the iPod has no database yet
        QTest::addColumn<bool>("setUp");       // the answer to the question
        QTest::addColumn<bool>("readOnly");    // mounted read-only
        QTest::addColumn<bool>("canRemove");   // UDisks2 answers
        QTest::addColumn<bool>("pressRemove"); // the removal button is pressed
        QTest::addColumn<std::optional<RemovalFailure>>("removal");
        QTest::addColumn<bool>("handedOver");
        QTest::addColumn<QString>("label");

        const std::optional<RemovalFailure> fine;
        QTest::newRow("blank iPod set up when asked")
            << true << true << false << true << false << fine << true << QString();
        QTest::newRow("blank iPod, set-up declined")
            << true << false << false << true << false << fine << false
            << QStringLiteral("iPodを初期化しなかったため転送していません");
        QTest::newRow("read-only") << false << true << true << true << false << fine << false
                                   << QStringLiteral("iPodが読み取り専用のため登録できません");
        QTest::newRow("removed afterwards") << false << true << false << true << true << fine
                                            << true << QStringLiteral("iPodを安全に取り外せます");
        QTest::newRow("removal refused: busy")
            << false << true << false << true << true << std::optional(RemovalFailure::Busy) << true
            << QStringLiteral("iPodを取り外せません（使用中のファイルがあります）");
        QTest::newRow("no UDisks2: no removal offered")
            << false << true << false << false << false << fine << true << QString();
    }

    void aroundTheHandOver()
    {
        QFETCH(bool, blank);
        QFETCH(bool, setUp);
        QFETCH(bool, readOnly);
        QFETCH(bool, canRemove);
        QFETCH(bool, pressRemove);
        QFETCH(std::optional<RemovalFailure>, removal);
        QFETCH(bool, handedOver);
        QFETCH(QString, label);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString device = dir.filePath(QStringLiteral("IPOD"));
        QVERIFY(QDir().mkpath(device + QStringLiteral("/iPod_Control/Device")));
        if (blank) {
            QVERIFY(writeFile(device + QStringLiteral("/iPod_Control/Device/SysInfo"),
                              "ModelNumStr: MA446\n"));
        } else {
            GError* error = nullptr;
            QVERIFY(itdb_init_ipod(QFile::encodeName(device).constData(), "MA446", "Test", &error));
        }
        const QMap<QString, QByteArray> before = snapshot(device);

        OneVolume volumes;
        struct stat info;
        QCOMPARE(stat(QFile::encodeName(device).constData(), &info), 0);
        volumes.volume = {QFile::encodeName(device), "/dev/sdz1", "vfat", info.st_dev,
                          QStringLiteral("IPOD"),    false};
        // The kernel's word on the same mount; the read-only row is read-only there only.
        QFile mountInfo(dir.filePath(QStringLiteral("mountinfo")));
        QVERIFY(mountInfo.open(QIODevice::WriteOnly));
        mountInfo.write("40 27 " + QByteArray::number(major(info.st_dev)) + ':' +
                        QByteArray::number(minor(info.st_dev)) + " / " + QFile::encodeName(device) +
                        (readOnly ? " ro" : " rw") + " - vfat /dev/sdz1 rw\n");
        mountInfo.close();
        IpodLibraryFactory library(mountInfo.fileName(), &volumes);
        FakePrompt prompt;
        prompt.answers = {setUp};
        prompt.pressAction = pressRemove;
        FakeShell shell;
        FakeDrives drives;
        FakeDeviceRemoval removals;
        removals.available = canRemove;
        removals.outcome = removal;
        TFormMain form(Services{prompt, shell, drives, library, noDesktop(), removals});
        ThConvertInfoObjectList& jobs = form.engine().jobs();
        jobs.Settings.SaveDir = QFile::encodeName(dir.path()) + '/';
        jobs.AddSource(QFile::encodeName(m_media.filePath(QStringLiteral("song.avi"))));
        QSignalSpy finished(&form.engine(), &ConversionEngine::handOverFinished);
        QTest::mouseClick(control<TPNGButton>(form, "PngBtnConvertMusic2iTunes"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);

        QCOMPARE(prompt.questions,
                 blank ? QStringList{QStringLiteral("接続されているiPodは初期化されていません。\n"
                                                    "iPodを初期化して転送しますか？")}
                       : QStringList());
        const QString done = QStringLiteral("変換・iTunesへの転送が完了しました");
        QCOMPARE(prompt.informations, !handedOver ? QStringList()
                                      : canRemove
                                          ? QStringList{done + QStringLiteral(" [iPodを取り外す]")}
                                          : QStringList{done});
        QCOMPARE(jobs.Items(0)->Status, handedOver ? csTransferred : csConverted);
        if (handedOver)
            QCOMPARE(libraryTitles(device), QStringList{QStringLiteral("song")});
        else
            QCOMPARE(snapshot(device), before);
        QCOMPARE(removals.removed,
                 pressRemove ? QList<QByteArray>{QFile::encodeName(device)} : QList<QByteArray>());
        QTRY_COMPARE(control<QLabel>(form, "LblSituation")->text(), label);
    }
};

QTEST_MAIN(TestIpodHandOver)
#include "tst_ipodhandover.moc"
