#include "devices/MountInfo.h"
#include "devices/OpticalDrives.h"
#include "devices/VolumeLabels.h"
#include "platform/CodePage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tovilo;

namespace {

void writeFile(const QString& path, const QByteArray& contents = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(contents);
}

void makeLink(const QByteArray& target, const QString& link)
{
    QDir().mkpath(QFileInfo(link).path());
    QVERIFY2(symlink(target.constData(), QFile::encodeName(link).constData()) == 0,
             qPrintable(link));
}

QByteArray escapeBlanks(QByteArray path)
{
    return path.replace(" ", "\\040");
}

} // namespace

class TestOpticalDrives : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void mountInfoField_data();
    void mountInfoField();
    void udevEscapes_data();
    void udevEscapes();

    void listsOpticalDrivesInDeviceOrder();
    void labelsFollowTheSystemCodePage();
    void readiness_data();
    void readiness();
    void noSysFolderMeansNoDrives();
    void kernelSignalsMountChanges();

    void chapterFilesOfADisc();
    void chapterFilesAreFoundDepthFirst();
    void chapterDepthLimit_data();
    void chapterDepthLimit();
    void unreadableFolderIsSkipped();

private:
    // Builds sys/, proc/ and dev/ of a machine with drives sr0, sr1, sr10 (and non-drives).
    void buildMachine();
    QByteArray tmp(const char* relative) const
    {
        return QFile::encodeName(m_dir->filePath(QString::fromUtf8(relative)));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestOpticalDrives::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    setSystemCodePage(CodePage::Utf8);
}

void TestOpticalDrives::cleanup()
{
    setSystemCodePage(CodePage::Utf8);
    m_dir.reset();
}

void TestOpticalDrives::mountInfoField_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("decoded");
    QTest::newRow("blanks") << QByteArray("/media/u/MY\\040DISC\\040")
                            << QByteArray("/media/u/MY DISC ");
    QTest::newRow("tab newline") << QByteArray("/a\\011b\\012c") << QByteArray("/a\tb\nc");
    QTest::newRow("backslash") << QByteArray("/a\\134040") << QByteArray("/a\\040");
    QTest::newRow("high byte") << QByteArray("/\\346\\227\\245") << QByteArray("/\xe6\x97\xa5");
    QTest::newRow("short escape kept") << QByteArray("/a\\04") << QByteArray("/a\\04");
    QTest::newRow("too big kept") << QByteArray("/a\\777") << QByteArray("/a\\777");
}

void TestOpticalDrives::mountInfoField()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, decoded);
    QCOMPARE(decodeMountInfoField(field), decoded);
}

void TestOpticalDrives::udevEscapes_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("decoded");
    QTest::newRow("blank") << QByteArray("MY\\x20DISC") << QByteArray("MY DISC");
    QTest::newRow("slash and backslash") << QByteArray("A\\x2fB\\x5cC") << QByteArray("A/B\\C");
    QTest::newRow("incomplete kept") << QByteArray("A\\x2") << QByteArray("A\\x2");
    QTest::newRow("not hex kept") << QByteArray("A\\xZZ") << QByteArray("A\\xZZ");
}

void TestOpticalDrives::udevEscapes()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, decoded);
    QCOMPARE(decodeUdevEscapes(name), decoded);
}

void TestOpticalDrives::buildMachine()
{
    const QString block = m_dir->filePath(QStringLiteral("sys/block/"));
    struct Device
    {
        const char* name;
        const char* type;
        const char* dev;
    };
    // sda claims type 5 to show that only sr devices count.
    for (const Device& d :
         {Device{"sr0", "5\n", "11:0\n"}, Device{"sr1", "5\n", "11:1\n"},
          Device{"sr10", "5\n", "11:10\n"}, Device{"sr2", "0\n", "11:2\n"},
          Device{"sda", "5\n", "8:0\n"}, Device{"srx", "5\n", "11:3\n"}, Device{"sr9", "5", ""}}) {
        writeFile(block + QString::fromUtf8(d.name) + QStringLiteral("/device/type"), d.type);
        if (*d.dev)
            writeFile(block + QString::fromUtf8(d.name) + QStringLiteral("/dev"), d.dev);
    }

    QDir().mkpath(m_dir->filePath(QStringLiteral("media/MY DISC")));
    QDir().mkpath(m_dir->filePath(QStringLiteral("sub")));
    writeFile(m_dir->filePath(QStringLiteral("dev/sr1"))); // a node statvfs would answer
    // sr0: a bind mount of a sub-folder first, then the disc itself, found by device number.
    // sr9: no dev file, found by its mount source. sr10: mounted where nothing exists.
    QByteArray mountInfo = "22 27 0:21 / /proc rw,relatime - proc proc rw\n";
    mountInfo += "a line that is no mount\n";
    mountInfo += "50 27 11:0 /VIDEO_TS " + escapeBlanks(tmp("sub")) + " ro - udf /dev/sr0 ro\n";
    mountInfo +=
        "51 27 11:0 / " + escapeBlanks(tmp("media/MY DISC")) + " ro shared:1 - udf /dev/cdrom ro\n";
    mountInfo += "52 27 0:99 / " + tmp("media/nine") + "/ ro - iso9660 " + tmp("dev/sr9") + " ro\n";
    mountInfo += "53 27 11:10 / " + tmp("media/missing") + " ro - iso9660 /dev/sr10 ro\n";
    writeFile(m_dir->filePath(QStringLiteral("proc/self/mountinfo")), mountInfo);
    QDir().mkpath(m_dir->filePath(QStringLiteral("media/nine")));

    const QString byLabel = m_dir->filePath(QStringLiteral("dev/disk/by-label/"));
    makeLink("../../sr0", byLabel + QStringLiteral("MY\\x20DISC"));
    makeLink("../../sda", byLabel + QStringLiteral("DATA"));
    makeLink("../../sr10", byLabel + QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac"));
}

void TestOpticalDrives::listsOpticalDrivesInDeviceOrder()
{
    buildMachine();
    LinuxDriveService service(m_dir->filePath(QStringLiteral("sys")),
                              m_dir->filePath(QStringLiteral("proc")),
                              m_dir->filePath(QStringLiteral("dev")));
    const QList<OpticalDrive> expected = {
        {tmp("media/MY DISC/"), "MY DISC", tmp("dev/sr0"), true},
        {tmp("dev/sr1"), "", tmp("dev/sr1"), false},
        {tmp("media/nine/"), "", tmp("dev/sr9"), true},
        {tmp("media/missing/"), "\xe6\x97\xa5\xe6\x9c\xac", tmp("dev/sr10"), true},
    };
    const QList<OpticalDrive> drives = service.opticalDrives();
    QCOMPARE(drives.size(), expected.size());
    for (int i = 0; i < drives.size(); ++i) {
        QCOMPARE(drives[i].root, expected[i].root);
        QCOMPARE(drives[i].label, expected[i].label);
        QCOMPARE(drives[i].device, expected[i].device);
        QCOMPARE(drives[i].mounted, expected[i].mounted);
    }
}

void TestOpticalDrives::labelsFollowTheSystemCodePage()
{
    buildMachine();
    setSystemCodePage(CodePage::Cp932);
    LinuxDriveService service(m_dir->filePath(QStringLiteral("sys")),
                              m_dir->filePath(QStringLiteral("proc")),
                              m_dir->filePath(QStringLiteral("dev")));
    const QList<OpticalDrive> drives = service.opticalDrives();
    QCOMPARE(drives.size(), 4);
    QCOMPARE(drives[3].label, QByteArray("\x93\xfa\x96\x7b")); // 日本 in Shift-JIS
}

void TestOpticalDrives::readiness_data()
{
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<bool>("ready");
    QTest::newRow("mounted disc") << QByteArray("media/MY DISC/") << true;
    QTest::newRow("mount point vanished") << QByteArray("media/missing/") << false;
    QTest::newRow("unmounted drive's device") << QByteArray("dev/sr1") << false;
    QTest::newRow("a folder that is no drive") << QByteArray("sub/") << false;
    QTest::newRow("root without its slash") << QByteArray("media/MY DISC") << false;
}

void TestOpticalDrives::readiness()
{
    QFETCH(QByteArray, root);
    QFETCH(bool, ready);
    buildMachine();
    LinuxDriveService service(m_dir->filePath(QStringLiteral("sys")),
                              m_dir->filePath(QStringLiteral("proc")),
                              m_dir->filePath(QStringLiteral("dev")));
    QCOMPARE(service.isReady(tmp(root.constData())), ready);
}

void TestOpticalDrives::noSysFolderMeansNoDrives()
{
    LinuxDriveService service(m_dir->filePath(QStringLiteral("sys")),
                              m_dir->filePath(QStringLiteral("proc")),
                              m_dir->filePath(QStringLiteral("dev")));
    QVERIFY(service.opticalDrives().isEmpty());
    QVERIFY(!service.isReady("/"));
}

void TestOpticalDrives::kernelSignalsMountChanges()
{
    // A fake sr0 without a dev file is matched by the source name of its mount, so a tmpfs
    // mounted "from" it in the real mount table stands in for a disc.
    writeFile(m_dir->filePath(QStringLiteral("sys/block/sr0/device/type")), "5\n");
    QDir(m_dir->path()).mkpath(QStringLiteral("media/disc"));
    QDir(m_dir->path()).mkpath(QStringLiteral("usb"));
    const QByteArray disc = tmp("media/disc");
    const QByteArray usb = tmp("usb");
    struct Unmount
    {
        QList<QByteArray> points;
        ~Unmount()
        {
            for (const QByteArray& point : points)
                umount2(point.constData(), MNT_DETACH);
        }
    } unmount{{disc, usb}};

    LinuxDriveService drives(m_dir->filePath(QStringLiteral("sys")), QStringLiteral("/proc"),
                             m_dir->filePath(QStringLiteral("dev")));
    int calls = 0;
    OpticalMountWatcher watcher(drives, [&calls] { ++calls; });
    watcher.start();
    QVERIFY(watcher.isWatching());

    if (mount(tmp("dev/sr0").constData(), disc.constData(), "tmpfs", 0, "size=16k") != 0)
        QSKIP("mounting a tmpfs is refused here");
    QTRY_COMPARE(calls, 1);
    QCOMPARE(drives.opticalDrives().value(0).root, disc + '/');

    QCOMPARE(mount("stick", usb.constData(), "tmpfs", 0, "size=16k"), 0);
    QCOMPARE(umount(disc.constData()), 0);
    QTRY_COMPARE(calls, 2);
    QVERIFY(!drives.opticalDrives().value(0).mounted);
    QCOMPARE(umount(usb.constData()), 0);
}

namespace {

using Found = QList<std::pair<QByteArray, QByteArray>>;

Found chapters(const QByteArray& folder, int maxDepth = 16)
{
    Found found;
    findChapterFiles(
        folder,
        [&](const QByteArray& name, const QByteArray& path) {
            found.append({name, path});
        },
        maxDepth);
    return found;
}

Found sorted(Found found)
{
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace

void TestOpticalDrives::chapterFilesOfADisc()
{
    const QString disc = m_dir->filePath(QStringLiteral("disc/"));
    for (const char* file :
         {"VIDEO_TS/VIDEO_TS.VOB", "VIDEO_TS/VIDEO_TS.IFO", "VIDEO_TS/VTS_01_0.VOB",
          "VIDEO_TS/VTS_01_1.VOB", "VIDEO_TS/VTS_01_2.vob", "VIDEO_TS/video_ts.VOB",
          "VIDEO_TS/VTS_01_3.VOB.bak", "VIDEO_TS/VTS_01_4.VOBX", "VIDEO_TS/.hidden.VOB",
          "EXTRA/clips/VTS_01_1.VOB", "EXTRA/NOEXT", "AUDIO_TS/.keep", "DVD_RTAV/VR_MOVIE.VRO",
          "DVD_RTAV/VR_STILL.VRO", "DVD_RTAV/VR_AUDIO.VRO", "DVD_RTAV/VR_MANGR.IFO",
          "DVD_RTAV/vr_movie.VRO", "DVD_RTAV/VR_MOVIE.vro"})
        writeFile(disc + QString::fromUtf8(file));
    makeLink(QFile::encodeName(m_dir->path()), disc + QStringLiteral("loop")); // back to the top
    makeLink("VIDEO_TS", disc + QStringLiteral("folder.VOB"));                 // a link to a folder
    makeLink("VIDEO_TS/VTS_01_0.VOB", disc + QStringLiteral("linked.VOB"));    // a link to a file
    makeLink("nowhere/X.VOB", disc + QStringLiteral("dangling.VOB"));
    QVERIFY(mkfifo(QFile::encodeName(disc + QStringLiteral("pipe.VOB")).constData(), 0600) == 0);

    const QByteArray root = QFile::encodeName(disc);
    const Found expected = sorted({
        {"VTS_01_0", root + "VIDEO_TS/VTS_01_0.VOB"},
        {"VTS_01_1", root + "VIDEO_TS/VTS_01_1.VOB"},
        {"video_ts", root + "VIDEO_TS/video_ts.VOB"},
        {".hidden", root + "VIDEO_TS/.hidden.VOB"},
        {"VTS_01_1", root + "EXTRA/clips/VTS_01_1.VOB"},
        {"linked", root + "linked.VOB"},
        {"VR_MOVIE", root + "DVD_RTAV/VR_MOVIE.VRO"},
    });
    QCOMPARE(sorted(chapters(root)), expected);
    QVERIFY(chapters(root + "no-such-folder/").isEmpty());
}

void TestOpticalDrives::chapterFilesAreFoundDepthFirst()
{
    const QString disc = m_dir->filePath(QStringLiteral("disc/"));
    for (const char* file : {"A.VOB", "B.VOB", "one/A.VOB", "one/two/A.VOB", "one/two/B.VOB",
                             "one/three/A.VOB", "one/Z.VOB", "four/A.VOB", "four/five/A.VOB"})
        writeFile(disc + QString::fromUtf8(file));
    const QByteArray root = QFile::encodeName(disc);
    const Found found = chapters(root);
    QCOMPARE(found.size(), 9);

    // Depth first: everything below one folder is reported in one unbroken run.
    for (const QByteArray folder : {"one/", "one/two/", "one/three/", "four/", "four/five/"}) {
        QList<int> indices;
        for (int i = 0; i < found.size(); ++i) {
            if (found[i].second.startsWith(root + folder))
                indices.append(i);
        }
        QVERIFY(!indices.isEmpty());
        QCOMPARE(indices.last() - indices.first() + 1, indices.size());
    }
}

void TestOpticalDrives::chapterDepthLimit_data()
{
    QTest::addColumn<int>("maxDepth");
    QTest::addColumn<int>("count");
    QTest::newRow("default") << 16 << 17;
    QTest::newRow("three levels") << 3 << 4;
    QTest::newRow("top only") << 0 << 1;
    QTest::newRow("negative") << -1 << 0;
}

void TestOpticalDrives::chapterDepthLimit()
{
    QFETCH(int, maxDepth);
    QFETCH(int, count);
    // A chain 20 folders deep with one chapter on every level.
    QString folder = m_dir->filePath(QStringLiteral("disc/"));
    for (int level = 0; level <= 20; ++level) {
        writeFile(folder + QStringLiteral("L%1.VOB").arg(level));
        folder += QStringLiteral("d/");
    }
    QList<QByteArray> names;
    for (const auto& [name, path] :
         chapters(QFile::encodeName(m_dir->filePath(QStringLiteral("disc/"))), maxDepth))
        names.append(name);
    std::sort(names.begin(), names.end());
    QList<QByteArray> expected;
    for (int level = 0; level < count; ++level)
        expected.append("L" + QByteArray::number(level));
    std::sort(expected.begin(), expected.end());
    QCOMPARE(names, expected);
}

void TestOpticalDrives::unreadableFolderIsSkipped()
{
    if (geteuid() == 0)
        QSKIP("root reads every folder");
    const QString disc = m_dir->filePath(QStringLiteral("disc/"));
    writeFile(disc + QStringLiteral("VIDEO_TS/VTS_01_1.VOB"));
    writeFile(disc + QStringLiteral("locked/VTS_02_1.VOB"));
    const QByteArray locked = QFile::encodeName(disc + QStringLiteral("locked"));
    QCOMPARE(chmod(locked.constData(), 0), 0);
    const Found found = chapters(QFile::encodeName(disc));
    chmod(locked.constData(), 0700);
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0].first, QByteArray("VTS_01_1"));
}

QTEST_GUILESS_MAIN(TestOpticalDrives)
#include "tst_opticaldrives.moc"
