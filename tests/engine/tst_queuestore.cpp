#include "engine/QueueStore.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

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
    // job that was converting waits again and its partial output is gone; a file that took
    // the name since is not touched.
    void roundTrip()
    {
        const QByteArray sjis = folder() + "\x83\x5c\x83\x8b.avi"; // "ソル" in Shift-JIS
        const QByteArray partial = folder() + "b.mp4";
        const QByteArray replaced = folder() + "d.mp4";
        writeFile(partial, "half");
        writeFile(replaced, "mine");
        const QByteArray f = folder();
        const QList<QByteArray> saved = {
            sjis + "|0||",
            f + "b.avi|2|" + partial + '|',
            f + "c.avi|4|" + f + "c.mp4|lib/ffmpeg: error: input-missing: x",
            f + "d.avi|1|" + replaced + '|',
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
            // After the document: b converts again, into its old name.
            jobs.SetStatus(*jobs.Items(1), csConverting);
            store.save(jobs, {false, {1}});
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
        QCOMPARE(restored.partialsRemoved, 1);
        QVERIFY(jobs.AudioOnly);
        QList<QByteArray> expected = saved;
        expected[1].replace("|2|", "|0|");
        expected[3].replace("|1|", "|0|");
        QCOMPARE(contents(jobs), expected);
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

QTEST_MAIN(TestQueueStore)
#include "tst_queuestore.moc"
