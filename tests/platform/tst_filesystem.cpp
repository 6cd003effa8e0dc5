#include "platform/FileSystem.h"
#include "protocol/PartialOutput.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

using namespace tovilo;

class TestFileSystem : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QByteArray path(const char* name) const { return QFile::encodeName(m_dir.path()) + '/' + name; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile file(QFile::decodeName(path("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(QDir().mkdir(QFile::decodeName(path("folder"))));
        QVERIFY(QFile::link(QFile::decodeName(path("file")), QFile::decodeName(path("toFile"))));
        QVERIFY(
            QFile::link(QFile::decodeName(path("folder")), QFile::decodeName(path("toFolder"))));
        QVERIFY(QFile::link(QFile::decodeName(path("gone")), QFile::decodeName(path("dangling"))));
    }

    // Existence as the file checks see it (links followed), as an output name sees it
    // (anything there takes the name), and whether the name can be claimed.
    void existence_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("isFile");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<int>("reserveError");
        QTest::addColumn<int>("followed"); // FileFacts::Kind, -1 for nothing to look at
        QTest::addColumn<int>("kept");

        constexpr int none = -1;
        constexpr int file = int(FileFacts::Kind::File);
        constexpr int folder = int(FileFacts::Kind::Folder);
        constexpr int link = int(FileFacts::Kind::Link);

        QTest::newRow("file") << QByteArray("file") << true << true << true << EEXIST << file
                              << file;
        QTest::newRow("folder") << QByteArray("folder") << true << false << true << EEXIST << folder
                                << folder;
        QTest::newRow("link to file")
            << QByteArray("toFile") << true << true << true << EEXIST << file << link;
        QTest::newRow("link to folder")
            << QByteArray("toFolder") << true << false << true << EEXIST << folder << link;
        QTest::newRow("dangling link")
            << QByteArray("dangling") << false << false << true << EEXIST << none << link;
        QTest::newRow("missing") << QByteArray("missing") << false << false << false << 0 << none
                                 << none;
        QTest::newRow("folder missing")
            << QByteArray("none/x") << false << false << false << ENOENT << none << none;
        // Cut at the NUL the path would name "file".
        QTest::newRow("NUL byte") << QByteArray("file\0x", 6) << false << false << false << EINVAL
                                  << none << none;
    }
    void existence()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, exists);
        QFETCH(bool, isFile);
        QFETCH(bool, taken);
        QFETCH(int, reserveError);
        QFETCH(int, followed);
        QFETCH(int, kept);
        const QByteArray full = QFile::encodeName(m_dir.path()) + '/' + name;
        const auto kindOf = [](const std::optional<FileFacts>& facts) {
            return facts ? int(facts->kind) : -1;
        };
        QCOMPARE(kindOf(pathFacts(full)), followed);
        QCOMPARE(kindOf(pathFacts(full, Links::Keep)), kept);
        QCOMPARE(pathExists(full), exists);
        QCOMPARE(fileExists(full), isFile);
        QCOMPARE(nameTaken(full), taken);
        OwnedFile owned;
        QCOMPARE(owned.reserve(full), reserveError);
        // A claimed name is an empty file; a link is never followed to create its target. It
        // goes with the partial file a killed lib/ffmpeg left beside it.
        if (reserveError == 0) {
            QCOMPARE(QFileInfo(QFile::decodeName(full)).size(), 0);
            const QByteArray partial =
                path("") + QByteArray::fromStdString(partialOutputName(pathFacts(full)->inode));
            QVERIFY(QFile(QFile::decodeName(partial)).open(QIODevice::WriteOnly));
            QCOMPARE(owned.remove(), OwnedFile::Removal::Removed);
            QVERIFY(!nameTaken(full) && !nameTaken(partial));
        }
        QVERIFY(!QFileInfo::exists(QFile::decodeName(path("gone"))));
    }

    void makeAndRemove()
    {
        // One level only, and never over something that exists.
        QVERIFY(makeDirectory(path("made")));
        QVERIFY(QFileInfo(QFile::decodeName(path("made"))).isDir());
        QVERIFY(!makeDirectory(path("made")));
        QCOMPARE(errno, EEXIST);
        QVERIFY(!makeDirectory(path("no/parent")));
        QCOMPARE(errno, ENOENT);

        // A link goes, its target stays; a folder is never removed.
        QVERIFY(removeFile(path("toFile")));
        QVERIFY(!QFileInfo::exists(QFile::decodeName(path("toFile"))));
        QVERIFY(fileExists(path("file")));
        QVERIFY(!removeFile(path("folder")));
        QVERIFY(pathExists(path("folder")));

        // A path with a NUL byte is refused rather than cut short.
        QVERIFY(!removeFile(QByteArray(path("file")).append("\0x", 2)));
        QCOMPARE(errno, EINVAL);
        QVERIFY(fileExists(path("file")));
        QVERIFY(!makeDirectory(QByteArray(path("made2")).append("\0x", 2)));
        QVERIFY(!pathExists(path("made2")));

        QVERIFY(removeFile(path("file")));
        QVERIFY(!pathExists(path("file")));
        QVERIFY(!removeFile(path("file")));
        QCOMPARE(errno, ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
