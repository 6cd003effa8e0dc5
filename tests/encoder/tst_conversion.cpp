// The wrapper's diagnosis, output clean-up and child handling, in-process.

#include "encoder/Diagnosis.h"
#include "encoder/output/OutputFile.h"
#include "encoder/run/WatchedRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace tovilo;

Q_DECLARE_METATYPE(tovilo::FailureKind)

namespace {

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class TestConversion : public QObject
{
    Q_OBJECT

private slots:
    // A failed run removes what it made or changed, nothing else.
    void removesOnlyItsOwnOutput_data()
    {
        QTest::addColumn<QString>("before"); // what stood at the name before the run
        QTest::addColumn<bool>("rewrite");   // the run wrote the file
        QTest::addColumn<bool>("kept");
        QTest::newRow("nothing, then the run's file") << "none" << true << false;
        QTest::newRow("the reserved empty file") << "empty" << true << false;
        QTest::newRow("an older file, untouched") << "file" << false << true;
        QTest::newRow("an older file, rewritten") << "file" << true << false;
        QTest::newRow("a link") << "link" << false << true;
        QTest::newRow("a folder") << "folder" << false << true;
    }

    void removesOnlyItsOwnOutput()
    {
        QFETCH(QString, before);
        QFETCH(bool, rewrite);
        QFETCH(bool, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"out.mp4"_s);
        if (before == u"empty"_s)
            QVERIFY(writeFile(path, {}));
        else if (before == u"file"_s)
            QVERIFY(writeFile(path, "older"));
        else if (before == u"link"_s)
            QVERIFY(QFile::link(dir.filePath(u"elsewhere"_s), path));
        else if (before == u"folder"_s)
            QVERIFY(QDir(dir.path()).mkdir(u"out.mp4"_s));

        const OutputFile output(path.toStdString());
        if (rewrite)
            QVERIFY(writeFile(path, "the run's bytes"));
        output.removeIfOurs();
        QCOMPARE(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), kept);
    }

    // What the wrapper looks at itself, before it believes ffmpeg's words.
    void diagnoses_data()
    {
        QTest::addColumn<QString>("input");  // relative to the folder
        QTest::addColumn<QString>("output"); // relative to the folder
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<FailureKind>("kind");
        QTest::addColumn<QString>("detail");

        QTest::newRow("full disk beats everything")
            << "gone.avi"
            << "out.mp4" << QByteArray("Error writing trailer of x: No space left on device\n") << 0
            << FailureKind::DiskFull << "No space left on device";
        QTest::newRow("source gone") << "gone.avi"
                                     << "out.mp4" << QByteArray() << 1 << FailureKind::InputMissing
                                     << "No such file or directory";
        QTest::newRow("source a folder")
            << "."
            << "out.mp4" << QByteArray() << 1 << FailureKind::InputUnreadable << "Is a directory";
        QTest::newRow("output folder gone")
            << "in.avi"
            << "gone/out.mp4" << QByteArray() << 1 << FailureKind::OutputFolder
            << "the output folder does not exist";
        QTest::newRow("output a folder")
            << "in.avi"
            << "folder" << QByteArray() << 1 << FailureKind::OutputUnwritable << "Is a directory";
        QTest::newRow("ffmpeg exited 0, file incomplete")
            << "in.avi"
            << "out.mp4" << QByteArray() << 0 << FailureKind::IncompleteOutput
            << "the check's words";
        QTest::newRow("last error line without the file name")
            << "in.avi"
            << "out.mp4" << QByteArray("file:%1: Operation not permitted\nConversion failed!\n")
            << 1 << FailureKind::Other << "Operation not permitted";
        QTest::newRow("nothing said") << "in.avi"
                                      << "out.mp4" << QByteArray() << 69 << FailureKind::Other
                                      << "ffmpeg exited with code 69";
    }

    void diagnoses()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QByteArray, log);
        QFETCH(int, exitCode);
        QFETCH(FailureKind, kind);
        QFETCH(QString, detail);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(u"in.avi"_s), "RIFF"));
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));

        WrapperRequest request;
        request.source = dir.filePath(input).toStdString();
        request.output = dir.filePath(output).toStdString();
        FfmpegLog ffmpeg;
        ffmpeg.feed(
            QString::fromUtf8(log).arg(QString::fromStdString(request.source)).toStdString());
        ffmpeg.finish();
        const Failure failure = diagnose(request, ffmpeg, exitCode, "the check's words");
        QCOMPARE(failure.kind, kind);
        QCOMPARE(QString::fromStdString(failure.detail), detail);
    }

    // The child's output reaches the caller; a reader that is gone stops the child.
    void runsWatched_data()
    {
        QTest::addColumn<bool>("readerStays");
        QTest::newRow("reader stays") << true;
        QTest::newRow("reader gone") << false;
    }

    void runsWatched()
    {
        QFETCH(bool, readerStays);
        Watch watch;
        QVERIFY(watch.start());
        std::string text;
        const RunResult result = runWatched(
            "/bin/sh", {"-c", readerStays ? "echo one; echo two >&2" : "echo one; exec sleep 600"},
            watch, [&](std::string_view piece) {
                text.append(piece);
                return readerStays;
            });
        QCOMPARE(result.startError, 0);
        if (readerStays) {
            QCOMPARE(text, std::string("one\ntwo\n"));
            QCOMPARE(result.exitCode, 0u);
            QVERIFY(!watch.stopping());
        } else {
            QCOMPARE(text, std::string("one\n"));
            QVERIFY(result.stopped);
            QVERIFY(watch.parentGone());
        }
    }
};

QTEST_GUILESS_MAIN(TestConversion)
#include "tst_conversion.moc"
