#include "engine/QueueKeeper.h"
#include "engine/QueueStore.h"
#include "platform/FileSystem.h"
#include "protocol/PartialOutput.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

using namespace tovilo;

namespace {

// A job as "source|status|output|reason"; the same text makes the job.
void add(ThConvertInfoObjectList& jobs, const QByteArray& line)
{
    const QList<QByteArray> parts = line.split('|');
    auto job = std::make_unique<ThConvertInfoObject>();
    job->setSourcePath(parts[0]);
    job->Status = static_cast<TConvertStatus>(parts[1].toInt());
    job->setOutputPath(parts[2]);
    job->EncoderError = parts[3];
    jobs.Add(std::move(job));
}

QList<QByteArray> contents(const ThConvertInfoObjectList& jobs)
{
    QList<QByteArray> lines;
    for (int i = 0; i < jobs.Count(); ++i) {
        const ThConvertInfoObject& job = *jobs.Items(i);
        lines << job.sourcePath() + '|' + QByteArray::number(job.Status) + '|' + job.outputPath() +
                     '|' + job.EncoderError;
    }
    return lines;
}

void writeFile(const QByteArray& path, const QByteArray& bytes)
{
    QFile file(QFile::decodeName(path));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestQueueStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray folder() const { return QFile::encodeName(m_dir.path()) + '/'; }

private Q_SLOTS:
    void init()
    {
        QDir dir(m_dir.path());
        QVERIFY(dir.removeRecursively() && dir.mkpath(QStringLiteral(".")));
    }

    // Every status, Shift-JIS names that are not UTF-8, changes made after the whole document
    // (the journal), and a torn last journal line: what comes back is what was saved, but the
    // job that was converting waits again.
    void roundTrip()
    {
        const QByteArray sjis = folder() + "\x83\x5c\x83\x8b.avi"; // "ソル" in Shift-JIS
        const QByteArray f = folder();
        const QList<QByteArray> saved = {
            sjis + "|0||",
            f + "b.avi|2|" + f + "b.mp4|",
            f + "c.avi|4|" + f + "c.mp4|lib/ffmpeg: error: input-missing: x",
            f + "e.avi|3|" + f + "e\xff.mp4|",
        };
        {
            ThConvertInfoObjectList jobs;
            jobs.AudioOnly = true;
            QueueStore store(folder());
            store.restore(jobs);
            for (const QByteArray& line : saved)
                add(jobs, line);
            store.save(jobs, {true, {}});
            // After the document: b converts again.
            jobs.SetStatus(*jobs.Items(1), csConverting);
            store.save(jobs, {false, {1}});
        }
        QFile journal(QFile::decodeName(folder() + "queue.journal"));
        QVERIFY(journal.open(QIODevice::Append));
        journal.write("{\"sequence\":\"999\",\"index\":0,\"sta"); // cut off mid-line

        ThConvertInfoObjectList jobs;
        QueueStore store(folder());
        const QueueStore::Restored restored = store.restore(jobs);
        QVERIFY(!restored.broken);
        QVERIFY(jobs.AudioOnly);
        QList<QByteArray> expected = saved;
        expected[1].replace("|2|", "|0|");
        QCOMPARE(contents(jobs), expected);
    }

    // What a run cut short by the program's end left: lib/ffmpeg's partial file and the empty
    // reservation go; a file that has content at the name (the finished output of a run whose
    // queue came back from a backup, or a file of the user's that got the freed inode), an
    // empty file touched since, or a link under the partial name stay, said on the row.
    void interruptedRun_data()
    {
        QTest::addColumn<QByteArray>("change"); // done to the files after the run was kept
        QTest::addColumn<bool>("partialGoes");
        QTest::addColumn<bool>("outputGoes");
        QTest::addColumn<QByteArray>("left"); // the name kept in doubt
        QTest::newRow("cut short") << QByteArray() << true << true << QByteArray();
        QTest::newRow("finished in place") << QByteArray("fill") << true << false << QByteArray();
        QTest::newRow("replaced") << QByteArray("replace") << true << false << QByteArray();
        QTest::newRow("touched") << QByteArray("touch") << true << false << QByteArray("b.mp4");
        QTest::newRow("partial is a link")
            << QByteArray("link") << false << true << QByteArray(".tovilo-");
    }

    void interruptedRun()
    {
        QFETCH(QByteArray, change);
        QFETCH(bool, partialGoes);
        QFETCH(bool, outputGoes);
        QFETCH(QByteArray, left);
        const QByteArray output = folder() + "b.mp4";
        writeFile(output, "");
        const std::optional<FileFacts> reserved = pathFacts(output);
        QVERIFY(reserved);
        const QByteArray partial =
            folder() + QByteArray::fromStdString(partialOutputName(reserved->inode));
        {
            ThConvertInfoObjectList jobs;
            QueueStore store(folder());
            store.restore(jobs);
            add(jobs, folder() + "b.avi|1|" + output + '|');
            store.save(jobs, {true, {}});
        }
        if (change == "link")
            QVERIFY(QFile::link(QFile::decodeName(folder() + "mine"), QFile::decodeName(partial)));
        else
            writeFile(partial, "half");
        if (change == "fill")
            writeFile(output, "the finished film");
        if (change == "replace") {
            writeFile(folder() + "mine", "the user's film");
            QVERIFY(::rename((folder() + "mine").constData(), output.constData()) == 0);
        }
        if (change == "touch")
            QVERIFY(::utimensat(AT_FDCWD, output.constData(), nullptr, 0) == 0);

        ThConvertInfoObjectList jobs;
        QueueStore store(folder());
        const QueueStore::Restored restored = store.restore(jobs);
        QCOMPARE(jobs.Items(0)->Status, csWaiting);
        QCOMPARE(restored.partialsRemoved, partialGoes ? 1 : 0);
        QCOMPARE(nameTaken(partial), !partialGoes);
        QCOMPARE(pathExists(output), !outputGoes);
        QCOMPARE(restored.left.size(), left.isEmpty() ? 0 : 1);
        if (!left.isEmpty())
            QVERIFY(jobs.Items(0)->LeftBehind.contains(left));
    }

    // A file that cannot be read is moved aside, once, and the queue starts empty.
    void brokenFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("truncated") << QByteArray("{\"version\":1,\"jobs\":[{\"source\":\"/a");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("foreign") << QByteArray("[1,2,3]");
        QTest::newRow("no version") << QByteArray("{\"jobs\":[]}");
        QTest::newRow("newer version") << QByteArray("{\"version\":2,\"jobs\":[]}");
        QTest::newRow("bad status")
            << QByteArray("{\"version\":1,\"jobs\":[{\"source\":\"/a.avi\",\"status\":9}]}");
        // Sizes no queue of ours has: a name no file system takes, more jobs than sane.
        QTest::newRow("long name") << "{\"version\":1,\"jobs\":[{\"source\":\"/" +
                                          QByteArray(QueueStore::MaxPathBytes, 'a') +
                                          "\",\"status\":0}]}";
        QByteArray many = "{\"version\":1,\"jobs\":[";
        for (qsizetype i = 0; i <= QueueStore::MaxJobs; ++i)
            many += "{\"source\":\"/a\",\"status\":0},";
        many.chop(1);
        QTest::newRow("too many jobs") << many + "]}";
    }

    void failedSaveIsToldAndRetried();

    void brokenFile()
    {
        QFETCH(QByteArray, bytes);
        writeFile(folder() + "queue.json", bytes);
        ThConvertInfoObjectList jobs;
        {
            QueueStore store(folder());
            QVERIFY(store.restore(jobs).broken);
            QCOMPARE(jobs.Count(), 0);
            store.save(jobs, {true, {}}); // an empty queue writes nothing in its place
        }
        QFile aside(QFile::decodeName(folder() + "queue.json.broken"));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), bytes);
        QVERIFY(!QFile::exists(QFile::decodeName(folder() + "queue.json")));
        QueueStore again(folder());
        QVERIFY(!again.restore(jobs).broken);
    }
};

// Defined after the class for the moc: a save that fails is said, held back and retried whole,
// and said again when it works.
void TestQueueStore::failedSaveIsToldAndRetried()
{
    ThConvertInfoObjectList jobs;
    QueueKeeper keeper(jobs);
    QList<int> told;
    connect(&keeper, &QueueKeeper::savingFailed, this, [&](int error) { told << error; });
    keeper.keepIn(folder());
    // A folder where the document goes: it cannot be replaced.
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("queue.json")));
    add(jobs, folder() + "a.avi|0||");
    QTRY_COMPARE(told, QList<int>{EISDIR});
    add(jobs, folder() + "b.avi|0||"); // said once, not per change
    QTest::qWait(200);
    QCOMPARE(told.size(), 1);
    QVERIFY(QDir(m_dir.path()).rmdir(QStringLiteral("queue.json")));
    QTRY_COMPARE_WITH_TIMEOUT(told, (QList<int>{EISDIR, 0}), QueueKeeper::RetryMs * 2);
    ThConvertInfoObjectList back;
    QueueStore store(folder());
    store.restore(back);
    QCOMPARE(contents(back), contents(jobs));
}

QTEST_MAIN(TestQueueStore)
#include "tst_queuestore.moc"
