// The wrapper in front of Debian's ffmpeg, fed exactly what the program builds, on two seconds of
// generated video; the results are checked with ffprobe.

#include "encoder/OutputCheck.h"
#include "platform/CommandLine.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

Run runProgram(const QString& program, const QStringList& args, const QString& workingDir = {},
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(workingDir);
    process.start(program, args);
    Run run;
    if (!process.waitForStarted() || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.output = process.readAll();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    return run;
}

QStringList wrapperArgs(const ThConvertInfoObjectList& queue, const QByteArray& source,
                        const QByteArray& output)
{
    QStringList args;
    for (const QByteArray& arg : tovilo::splitCommandLine(queue.BuildArguments(source, output)))
        args << QString::fromUtf8(arg);
    return args;
}

QJsonObject probe(const QString& file)
{
    const Run run = runProgram(
        "ffprobe", {"-v", "error", "-show_streams", "-show_format", "-of", "json", "file:" + file});
    return run.exitCode == 0 ? QJsonDocument::fromJson(run.output).object() : QJsonObject();
}

QJsonObject streamOfType(const QJsonObject& info, const QString& type)
{
    for (const QJsonValue& stream : info["streams"].toArray()) {
        if (stream["codec_type"].toString() == type)
            return stream.toObject();
    }
    return {};
}

Run makeClip(const QString& file, const QStringList& videoArgs, int seconds = 2)
{
    const QString length = QString::number(seconds);
    return runProgram("ffmpeg", QStringList{"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                            "sine=duration=" + length} +
                                    videoArgs + QStringList{"-t", length, "file:" + file});
}

QStringList videoArgs(int quality, const QString& source, const QString& output)
{
    ThConvertInfoObjectList queue;
    queue.Quality = static_cast<std::uint8_t>(quality);
    return wrapperArgs(queue, source.toUtf8(), output.toUtf8());
}

// "TFF: 0 BFF: 0" from both of idet's counts: no frame of the file shows combing.
int interlacedFrames(const QString& file)
{
    const Run run = runProgram("ffmpeg", {"-nostdin", "-hide_banner", "-i", "file:" + file, "-an",
                                          "-vf", "idet", "-f", "null", "-"});
    int count = 0;
    QRegularExpression counts("(TFF|BFF): *(\\d+)");
    for (const auto& match : counts.globalMatch(run.output))
        count += match.captured(2).toInt();
    return run.exitCode == 0 ? count : -1;
}

} // namespace

class TestEncoderEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void converts_data();
    void converts();
    void failsOnMissingSource();
    void reportsWhyItFailed_data();
    void reportsWhyItFailed();
    void convertsDvdRecordings_data();
    void convertsDvdRecordings();
    void checksTheFinishedFile_data();
    void checksTheFinishedFile();

private:
    QTemporaryDir m_root;
    QString m_folder; // blanks and Japanese
    QString m_source; // file name with a leading '-'
};

void TestEncoderEndToEnd::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable("ffmpeg").isEmpty() &&
                 !QStandardPaths::findExecutable("ffprobe").isEmpty(),
             "ffmpeg and ffprobe are needed (scripts/setup.sh installs them)");
    QVERIFY(m_root.isValid());
    m_folder = m_root.filePath("動画 フォルダ");
    QVERIFY(QDir().mkpath(m_folder));
    m_source = m_folder + "/-テスト clip.avi";
    const Run made = runProgram("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                           "testsrc=duration=2:size=320x240:rate=25", "-f", "lavfi",
                                           "-i", "sine=duration=2", "-c:v", "mpeg4", "-c:a",
                                           "pcm_s16le", "file:" + m_source});
    QVERIFY2(made.exitCode == 0, made.output);
}

void TestEncoderEndToEnd::converts_data()
{
    QTest::addColumn<bool>("audioOnly");
    QTest::addColumn<int>("quality");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<bool>("relative"); // run in the source folder with "-..." names
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("aspect");
    QTest::addColumn<QString>("frameRate");
    QTest::addColumn<QString>("sampleRate");

    const QString rates[] = {"30/1", "30/1", "30/1", "30/1", "15/1"};
    const QString samples[] = {"48000", "48000", "44100", "44100", "44100"};
    for (int quality = 0; quality <= 4; ++quality) {
        const int width = quality == 0 ? 640 : 320;
        QTest::addRow("q%d 4:3", quality)
            << false << quality << 0 << (quality == 2) << QSize(width, width * 3 / 4) << "4:3"
            << rates[quality] << samples[quality];
        QTest::addRow("q%d 16:9", quality)
            << false << quality << 1 << false << QSize(width, width * 9 / 16) << "16:9"
            << rates[quality] << samples[quality];
    }
    QTest::newRow("mp3") << true << 0 << 0 << true << QSize() << ""
                         << ""
                         << "44100";
}

void TestEncoderEndToEnd::converts()
{
    QFETCH(bool, audioOnly);
    QFETCH(int, quality);
    QFETCH(int, ratio);
    QFETCH(bool, relative);
    QFETCH(QSize, size);
    QFETCH(QString, aspect);
    QFETCH(QString, frameRate);
    QFETCH(QString, sampleRate);

    ThConvertInfoObjectList queue;
    queue.AudioOnly = audioOnly;
    queue.Quality = static_cast<std::uint8_t>(quality);
    queue.Ratio = static_cast<std::uint8_t>(ratio);
    const QString outName =
        QStringLiteral("-出力 q%1 r%2.%3").arg(quality).arg(ratio).arg(audioOnly ? "mp3" : "mp4");
    const QString output = m_folder + "/" + outName;
    const QString sourceArg = relative ? QFileInfo(m_source).fileName() : m_source;
    const QString outputArg = relative ? outName : output;
    const Run run = runProgram(
        WRAPPER_PATH, wrapperArgs(queue, sourceArg.toUtf8(), outputArg.toUtf8()), m_folder);
    QVERIFY2(run.exitCode == 0, run.output);

    // Progress in the form the program reads: seconds before "bitrate".
    QVERIFY2(QRegularExpression("time=\\d+\\.\\d\\d bitrate=").match(run.output).hasMatch(),
             run.output);
    QVERIFY2(!QRegularExpression("time=\\d+:").match(run.output).hasMatch(), run.output);
    // The source's length, which the program reads for the fraction done, as ffmpeg said it.
    QVERIFY2(run.output.contains("\n  Duration: 00:00:02.00, start: "), run.output);

    const QJsonObject info = probe(output);
    QVERIFY2(!info.isEmpty(), qPrintable(output));
    const double duration = info["format"]["duration"].toString().toDouble();
    QVERIFY2(duration > 1.5 && duration < 2.5, qPrintable(QString::number(duration)));
    const QJsonObject audio = streamOfType(info, "audio");
    QCOMPARE(audio["sample_rate"].toString(), sampleRate);

    if (audioOnly) {
        QCOMPARE(info["format"]["format_name"].toString(), "mp3");
        QCOMPARE(info["streams"].toArray().size(), 1);
        QCOMPARE(audio["codec_name"].toString(), "mp3");
        QCOMPARE(audio["bit_rate"].toString(), "128000");
        return;
    }
    QVERIFY(info["format"]["format_name"].toString().contains("mp4"));
    QCOMPARE(info["streams"].toArray().size(), 2);
    const QJsonObject video = streamOfType(info, "video");
    QCOMPARE(video["codec_name"].toString(), "mpeg4");
    QCOMPARE(video["profile"].toString(), "Simple Profile");
    QCOMPARE(QSize(video["width"].toInt(), video["height"].toInt()), size);
    QCOMPARE(video["display_aspect_ratio"].toString(), aspect);
    QCOMPARE(video["r_frame_rate"].toString(), frameRate);
    QCOMPARE(audio["codec_name"].toString(), "aac");
    QCOMPARE(audio["channels"].toInt(), 2);
}

void TestEncoderEndToEnd::failsOnMissingSource()
{
    ThConvertInfoObjectList queue;
    const QString output = m_folder + "/never.mp4";
    const Run run = runProgram(
        WRAPPER_PATH, wrapperArgs(queue, (m_folder + "/missing.avi").toUtf8(), output.toUtf8()));
    QVERIFY(run.exitCode > 0);
    QVERIFY2(run.output.contains("No such file"), run.output);
    QVERIFY2(run.output.endsWith("\nlib/ffmpeg: error: input-missing: No such file or directory\n"),
             run.output);
    QVERIFY(!QFile::exists(output));
}

void TestEncoderEndToEnd::reportsWhyItFailed_data()
{
    QTest::addColumn<QString>("source"); // "garbage", "video only", "long"
    QTest::addColumn<bool>("audioOnly");
    QTest::addColumn<int>("freePages"); // on a small disk of its own; -1: the test folder,
                                        // 0: just enough for the media data, not the index
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("broken source") << "garbage" << false << -1
                                   << QByteArray("input-invalid: Invalid data found when "
                                                 "processing input");
    QTest::newRow("mp3 from a source without sound")
        << "video only" << true << -1 << QByteArray("no-audio: the source has no audio track");
    QTest::newRow("disk full while writing the data")
        << "long" << false << 2 << QByteArray("disk-full: No space left on device");
    // Debian's ffmpeg 5.1 exits 0 here.
    QTest::newRow("disk full while writing the index")
        << "long" << false << 0 << QByteArray("disk-full: No space left on device");
}

void TestEncoderEndToEnd::reportsWhyItFailed()
{
    QFETCH(QString, source);
    QFETCH(bool, audioOnly);
    QFETCH(int, freePages);
    QFETCH(QByteArray, line);

    const QString input = m_root.filePath(source + ".avi");
    if (source == "garbage") {
        QFile file(input);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 4096; ++i)
            file.write(QByteArray::number(i * 7919 % 251));
    } else if (!QFile::exists(input)) {
        const Run made = source == "video only"
                             ? runProgram("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                                     "testsrc=duration=1", "file:" + input})
                             : makeClip(input,
                                        {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                                         "-c:v", "mpeg4", "-c:a", "pcm_s16le"},
                                        20);
        QVERIFY2(made.exitCode == 0, made.output);
    }

    QString folder = m_root.path();
    QTemporaryDir mountPoint;
    auto unmount = qScopeGuard([&] { ::umount(mountPoint.path().toLocal8Bit().constData()); });
    if (freePages >= 0) {
        // Where the index starts in a good conversion of the same source.
        const QString probeOutput = m_root.filePath("layout.mp4");
        const Run good = runProgram(WRAPPER_PATH, videoArgs(4, input, probeOutput));
        QVERIFY2(good.exitCode == 0, good.output);
        QFile file(probeOutput);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        const qsizetype index = data.indexOf("moov") - 4;
        QVERIFY(index > 0);
        constexpr qsizetype page = 4096;
        const qsizetype free = freePages > 0 ? freePages * page : (index + page - 1) / page * page;
        QVERIFY(free < data.size());
        const qsizetype size = (data.size() / page + 16) * page;
        if (::mount("tmpfs", mountPoint.path().toLocal8Bit().constData(), "tmpfs", 0,
                    QByteArray("size=" + QByteArray::number(size)).constData()) != 0)
            QSKIP("a small tmpfs cannot be mounted here (needs root)");
        folder = mountPoint.path();
        QFile filler(folder + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly));
        QCOMPARE(filler.write(QByteArray(size - free, '\0')), size - free);
    }

    ThConvertInfoObjectList queue;
    queue.AudioOnly = audioOnly;
    queue.Quality = 4;
    const QString output = folder + (audioOnly ? "/failed.mp3" : "/failed.mp4");
    const Run run = runProgram(WRAPPER_PATH, wrapperArgs(queue, input.toUtf8(), output.toUtf8()));
    QVERIFY2(run.exitCode > 0, run.output);
    QVERIFY2(run.output.endsWith("\nlib/ffmpeg: error: " + line + "\n"), run.output);
    QVERIFY(!QFile::exists(output));
}

// DVD recorders write interlaced MPEG-2 program streams; DVD-VR discs keep them in .VRO files.
void TestEncoderEndToEnd::convertsDvdRecordings_data()
{
    QTest::addColumn<bool>("interlaced");
    QTest::newRow("interlaced") << true;
    QTest::newRow("progressive") << false;
}

void TestEncoderEndToEnd::convertsDvdRecordings()
{
    QFETCH(bool, interlaced);
    const QString folder = m_root.filePath(interlaced ? "i/DVD_RTAV" : "p/DVD_RTAV");
    QVERIFY(QDir().mkpath(folder));
    const QString source = folder + "/VR_MOVIE.VRO";
    const QStringList picture =
        interlaced ? QStringList{"-f",     "lavfi",
                                 "-i",     "testsrc=size=720x480:rate=60000/1001",
                                 "-vf",    "tinterlace=mode=interleave_top,setfield=tff",
                                 "-flags", "+ilme+ildct"}
                   : QStringList{"-f", "lavfi", "-i", "testsrc=size=720x480:rate=30000/1001"};
    const Run made = makeClip(source, picture + QStringList{"-target", "ntsc-dvd", "-f", "vob"}, 3);
    QVERIFY2(made.exitCode == 0, made.output);

    // An ffmpeg in front of the real one that notes the arguments it is given.
    QTemporaryDir standIn;
    const QString argsFile = standIn.filePath("args");
    QFile script(standIn.filePath("ffmpeg"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + argsFile.toUtf8() + "'\nexec '" +
                 QStandardPaths::findExecutable("ffmpeg").toUtf8() + "' \"$@\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
    QVERIFY(QFile::link(QStandardPaths::findExecutable("ffprobe"), standIn.filePath("ffprobe")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", standIn.path() + ":" + env.value("PATH"));

    const QString output = folder + "/VR_MOVIE.mp4";
    const Run run = runProgram(WRAPPER_PATH, videoArgs(0, source, output), {}, env);
    QVERIFY2(run.exitCode == 0, run.output);
    QFile argsText(argsFile);
    QVERIFY(argsText.open(QIODevice::ReadOnly));
    const QByteArray given = argsText.readAll();
    QVERIFY2(given.contains("\n-f\nmpeg\n-i\nfile:" + source.toUtf8() + "\n"), given);
    QCOMPARE(given.contains("\n-vf\nyadif=mode=send_frame:parity=auto:deint=interlaced\n"),
             interlaced);

    QCOMPARE(interlacedFrames(output), 0);
    const Run frames = runProgram(
        "ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=nb_read_frames,r_frame_rate", "-of", "default=nw=1", "file:" + output});
    QCOMPARE(frames.output, QByteArray("r_frame_rate=30/1\nnb_read_frames=90\n"));
}

void TestEncoderEndToEnd::checksTheFinishedFile_data()
{
    QTest::addColumn<bool>("audioOnly");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("problem"); // empty: a good file

    QTest::newRow("mp4 as made") << false << ""
                                 << "";
    QTest::newRow("mp4 without its last byte") << false << "cut 1"
                                               << "runs past the end";
    QTest::newRow("mp4 without its index") << false << "cut index"
                                           << "index (moov) is missing";
    QTest::newRow("mp4 index overwritten") << false << "zero index"
                                           << "index (moov) is damaged";
    QTest::newRow("mp4 holding only sound") << false << "sound only"
                                            << "no video track";
    QTest::newRow("mp3 as made") << true << ""
                                 << "";
    QTest::newRow("mp3 cut inside a frame") << true << "cut 100"
                                            << "cut short";
    QTest::newRow("mp3 with bytes slipped in") << true << "insert"
                                               << "no MPEG audio frame";
}

void TestEncoderEndToEnd::checksTheFinishedFile()
{
    QFETCH(bool, audioOnly);
    QFETCH(QString, damage);
    QFETCH(QString, problem);

    const QString output = m_root.filePath(audioOnly ? "checked.mp3" : "checked.mp4");
    const Run run =
        damage == "sound only"
            ? runProgram("ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                    "sine=duration=1", "-c:a", "aac", "file:" + output})
        : audioOnly
            ? runProgram("ffmpeg", {"-nostdin", "-v", "error", "-y", "-i", "file:" + m_source,
                                    "-vn", "-c:a", "libmp3lame", "file:" + output})
            : runProgram(WRAPPER_PATH, videoArgs(4, m_source, output));
    QVERIFY2(run.exitCode == 0, run.output);

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray data = file.readAll();
    const qsizetype index = data.indexOf("moov") - 4;
    if (damage.startsWith("cut "))
        data.chop(damage == "cut index" ? data.size() - index : damage.mid(4).toInt());
    else if (damage == "zero index")
        data.replace(index + 8, 64, QByteArray(64, '\0'));
    else if (damage == "insert")
        data.insert(data.size() / 2, QByteArray(7, '\0'));
    QVERIFY(file.resize(0) && file.seek(0) && file.write(data) == data.size());
    file.close();

    const std::string found = tovilo::checkOutputFile(output.toStdString(), audioOnly);
    QVERIFY2(problem.isEmpty() ? found.empty() : QString::fromStdString(found).contains(problem),
             found.c_str());
}

QTEST_GUILESS_MAIN(TestEncoderEndToEnd)
#include "tst_encoder_e2e.moc"
