#include "engine/QueueStore.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace tovilo;

namespace {

struct Job
{
    QByteArray source;
    TConvertStatus status;
    QByteArray output;
    QByteArray reason;
};

void fill(ThConvertInfoObjectList& jobs, const QList<Job>& list)
{
    for (const Job& j : list) {
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(j.source);
        job->Status = j.status;
        job->setOutputPath(j.output);
        job->EncoderError = j.reason;
        jobs.Add(std::move(job));
    }
}

QByteArray describe(const Job& job)
{
    return job.source + '|' + QByteArray::number(job.status) + '|' + job.output + '|' + job.reason;
}

QList<QByteArray> describe(const QList<Job>& list)
{
    QList<QByteArray> lines;
    for (const Job& job : list)
        lines << describe(job);
    return lines;
}

QList<QByteArray> contents(const ThConvertInfoObjectList& jobs)
{
    QList<QByteArray> lines;
    for (int i = 0; i < jobs.Count(); ++i) {
        const ThConvertInfoObject& job = *jobs.Items(i);
        lines << describe({job.sourcePath(), job.Status, job.outputPath(), job.EncoderError});
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
    // job that was converting waits again and its partial output is gone; a file that took
    // the name since is not touched.
    void roundTrip()
    {
        const QByteArray sjis = folder() + "\x83\x5c\x83\x8b.avi"; // "ソル" in Shift-JIS
        const QByteArray partial = folder() + "b.mp4";
        const QByteArray replaced = folder() + "d.mp4";
        writeFile(partial, "half");
        writeFile(replaced, "mine");
        const QList<Job> saved = {
            {sjis, csWaiting, {}, {}},
            {folder() + "b.avi", csConverted, partial, {}},
            {folder() + "c.avi", csFailed, folder() + "c.mp4",
             "lib/ffmpeg: error: input-missing: x"},
            {folder() + "d.avi", csConverting, replaced, {}},
            {folder() + "e.avi", csTransferred, folder() + "e\xff.mp4", {}},
        };
        {
            ThConvertInfoObjectList jobs;
            jobs.AudioOnly = true;
            QueueStore store(folder());
            store.restore(jobs);
            fill(jobs, saved);
            store.save(jobs, 3);
            // After the document: b converts again, into its old name.
            jobs.Items(1)->Status = csConverting;
            store.save(jobs, 3);
            // d's file is replaced by one that is not the job's (made first, so that it
            // cannot reuse the inode).
            writeFile(folder() + "other", "someone else's");
            QVERIFY(::rename((folder() + "other").constData(), replaced.constData()) == 0);
        }
        QFile journal(QFile::decodeName(folder() + "queue.journal"));
        QVERIFY(journal.open(QIODevice::Append));
        journal.write("{\"sequence\":\"999\",\"index\":0,\"sta"); // cut off mid-line

        ThConvertInfoObjectList jobs;
        QueueStore store(folder());
        const QueueStore::Restored restored = store.restore(jobs);
        QVERIFY(!restored.broken);
        QCOMPARE(restored.mode, 3);
        QCOMPARE(restored.partialsRemoved, 1);
        QVERIFY(jobs.AudioOnly);
        QList<Job> expected = saved;
        expected[1].status = csWaiting;
        expected[3].status = csWaiting;
        QCOMPARE(contents(jobs), describe(expected));
        QVERIFY(!QFile::exists(QFile::decodeName(partial)));
        QVERIFY(QFile::exists(QFile::decodeName(replaced)));
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
    }

    void brokenFile()
    {
        QFETCH(QByteArray, bytes);
        writeFile(folder() + "queue.json", bytes);
        ThConvertInfoObjectList jobs;
        {
            QueueStore store(folder());
            QVERIFY(store.restore(jobs).broken);
            QCOMPARE(jobs.Count(), 0);
            store.save(jobs, 0); // an empty queue writes nothing in its place
        }
        QFile aside(QFile::decodeName(folder() + "queue.json.broken"));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), bytes);
        QVERIFY(!QFile::exists(QFile::decodeName(folder() + "queue.json")));
        QueueStore again(folder());
        QVERIFY(!again.restore(jobs).broken);
    }
};

QTEST_MAIN(TestQueueStore)
#include "tst_queuestore.moc"
