#include "engine/FolderWalk.h"
#include "engine/WatchFolder.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tovilo;

class TestFolders : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char* name) const { return m_dir.filePath(QString::fromUtf8(name)); }
    QByteArray bytes(const char* name) const { return QFile::encodeName(path(name)); }
    bool write(const char* name, const QByteArray& data = "x")
    {
        QDir().mkpath(QFileInfo(path(name)).path());
        QFile file(path(name));
        return file.open(QIODevice::Append) && file.write(data) == data.size();
    }

private Q_SLOTS:
    void naturalOrder_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("numbers") << u"ep9.avi"_qs << u"ep10.avi"_qs;
        QTest::newRow("japanese") << u"第2話.ts"_qs << u"第10話.ts"_qs;
        QTest::newRow("full-width") << u"第２話.ts"_qs << u"第１０話.ts"_qs;
        QTest::newRow("mixed widths") << u"S01E09"_qs << u"S01E１０"_qs;
        QTest::newRow("leading zeros") << u"ep02"_qs << u"ep3"_qs;
        QTest::newRow("letter case") << u"Alpha"_qs << u"beta"_qs;
        QTest::newRow("prefix") << u"show"_qs << u"show 1"_qs;
    }

    void naturalOrder()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QVERIFY(naturalLess(before, after));
        QVERIFY(!naturalLess(after, before));
    }

    // Depth first, a folder's own videos before its sub-folders'; hidden files, partial
    // downloads, the output folder and a link back up are passed over; what is listed already
    // or reached twice is added once.
    void walk()
    {
        for (const char* name :
             {"tree/ep10.mkv", "tree/ep9.MKV", "tree/notes.txt", "tree/.hidden.avi",
              "tree/dl.mp4.crdownload", "tree/a/2.avi", "tree/a/b/1.avi", "tree/c/3.avi",
              "tree/out/made.mp4", "tree/.cache/x.avi", "listed.avi"})
            QVERIFY(write(name));
        QVERIFY(QFile::link(path("tree"), path("tree/c/up")));
        QVERIFY(QFile::link(path("listed.avi"), path("tree/c/listed.avi")));
        QVERIFY(QDir().mkpath(path("tree/locked")));
        QVERIFY(QFile::setPermissions(path("tree/locked"), QFileDevice::WriteOwner));
        const std::atomic<bool> abandon{false};
        const FolderWalk walk =
            walkFolders({{bytes("tree")}, {bytes("listed.avi")}, bytes("tree/out/")}, abandon);
        QCOMPARE(walk.videos, (QList<QByteArray>{bytes("tree/ep9.MKV"), bytes("tree/ep10.mkv"),
                                                 bytes("tree/a/2.avi"), bytes("tree/a/b/1.avi"),
                                                 bytes("tree/c/3.avi")}));
        QCOMPARE(walk.unsupported, 1);
        QCOMPARE(walk.alreadyListed, 1);
        // Root reads any folder.
        QCOMPARE(walk.unreadableFolders, ::geteuid() == 0 ? 0 : 1);
    }

    // A new video is taken once its size has stood still, once only, across a restart too; one
    // replaced under the same name is new; what was there at first, and the program's own
    // output, never are.
    void watch()
    {
        QVERIFY(write("watched/old.avi"));
        const QByteArray data = bytes("data") + '/';
        QVERIFY(QDir().mkpath(path("data")));
        ThConvertInfoObjectList jobs;
        const WatchFolder::Timing quick{300, 60000};
        auto watcher = std::make_unique<WatchFolder>(jobs, data);
        watcher->setTiming(quick);
        QSignalSpy baseline(watcher.get(), &WatchFolder::baselineTaken);
        QSignalSpy ready(watcher.get(), &WatchFolder::videosReady);
        watcher->watch(bytes("watched") + '/', bytes("watched"));
        QTRY_COMPARE(baseline.size(), 1);
        QCOMPARE(baseline.first().first().toInt(), 1);

        // Written in pieces, each closed: taken only after the last.
        for (int piece = 0; piece < 4; ++piece) {
            QVERIFY(write("watched/sub/new.ts", QByteArray(1000, 'x')));
            QTest::qWait(150);
        }
        QCOMPARE(ready.size(), 0);
        QTRY_COMPARE(ready.size(), 1);
        QCOMPARE(ready.first().first().value<QList<QByteArray>>(),
                 QList<QByteArray>{bytes("watched/sub/new.ts")});
        QCOMPARE(QFileInfo(path("watched/sub/new.ts")).size(), 4000);

        // The program's own output in the watched folder is never a new video.
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(bytes("watched/sub/new.ts"));
        job->setOutputPath(bytes("watched/new.mp4"));
        jobs.Add(std::move(job));
        jobs.SetStatus(*jobs.Items(0), csConverting);
        QVERIFY(write("watched/new.mp4"));
        QTest::qWait(quick.settleMs * 2);
        QCOMPARE(ready.size(), 1);
        watcher->flush();
        watcher.reset();

        // Restarted: nothing twice, but a file replaced under its name and one moved in are.
        QVERIFY(QFile::remove(path("watched/old.avi")));
        QVERIFY(write("watched/old.avi", "new content"));
        QVERIFY(write("moved.mkv"));
        QVERIFY(QFile::rename(path("moved.mkv"), path("watched/moved.mkv")));
        watcher = std::make_unique<WatchFolder>(jobs, data);
        watcher->setTiming(quick);
        QSignalSpy again(watcher.get(), &WatchFolder::videosReady);
        watcher->watch(bytes("watched"), bytes("watched"));
        QTRY_COMPARE(again.size(), 1);
        QCOMPARE(again.first().first().value<QList<QByteArray>>(),
                 (QList<QByteArray>{bytes("watched/moved.mkv"), bytes("watched/old.avi")}));
    }
};

QTEST_GUILESS_MAIN(TestFolders)
#include "tst_folders.moc"
