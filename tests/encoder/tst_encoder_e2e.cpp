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

using namespace Qt::StringLiterals;

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
    const Run run =
        runProgram(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-show_streams"_s, u"-show_format"_s,
                                  u"-of"_s, u"json"_s, u"file:"_s + file});
    return run.exitCode == 0 ? QJsonDocument::fromJson(run.output).object() : QJsonObject();
}

QJsonObject streamOfType(const QJsonObject& info, const QString& type)
{
    for (const QJsonValue& stream : info[u"streams"_s].toArray()) {
        if (stream[u"codec_type"_s].toString() == type)
            return stream.toObject();
    }
    return {};
}

Run makeClip(const QString& file, const QStringList& videoArgs, int seconds = 2)
{
    const QString length = QString::number(seconds);
    return runProgram(u"ffmpeg"_s, QStringList{u"-nostdin"_s, u"-v"_s, u"error"_s, u"-y"_s, u"-f"_s,
                                               u"lavfi"_s, u"-i"_s, u"sine=duration="_s + length} +
                                       videoArgs + QStringList{u"-t"_s, length, u"file:"_s + file});
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
    const Run run =
        runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-hide_banner"_s, u"-i"_s, u"file:"_s + file,
                                 u"-an"_s, u"-vf"_s, u"idet"_s, u"-f"_s, u"null"_s, u"-"_s});
    int count = 0;
    QRegularExpression counts(u"(TFF|BFF): *(\\d+)"_s);
    for (const auto& match : counts.globalMatch(QString::fromUtf8(run.output)))
        count += match.captured(2).toInt();
    return run.exitCode == 0 ? count : -1;
}

struct Packet
{
    double time;
    qint64 bytes;
    bool key;
};

QList<Packet> videoPackets(const QString& file)
{
    const Run run = runProgram(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-select_streams"_s, u"v:0"_s,
                                              u"-show_entries"_s, u"packet=pts_time,size,flags"_s,
                                              u"-of"_s, u"csv=p=0"_s, u"file:"_s + file});
    QList<Packet> packets;
    for (const QByteArray& line : run.output.split('\n')) {
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() >= 3)
            packets.append({fields[0].toDouble(), fields[1].toLongLong(), fields[2].contains('K')});
    }
    std::sort(packets.begin(), packets.end(),
              [](const Packet& a, const Packet& b) { return a.time < b.time; });
    return packets;
}

} // namespace

class TestEncoderEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void converts_data();
    void converts();
    void convertsToH264_data();
    void convertsToH264();
    void failsOnMissingSource();
    void reportsWhyItFailed_data();
    void reportsWhyItFailed();
    void convertsDvdRecordings_data();
    void convertsDvdRecordings();
    void checksTheFinishedFile_data();
    void checksTheFinishedFile();

private:
    QTemporaryDir m_root;
    QString m_folder;     // blanks and Japanese
    QString m_source;     // file name with a leading '-'
    QString m_busySource; // grain that no rate cap leaves alone
};

void TestEncoderEndToEnd::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(u"ffmpeg"_s).isEmpty() &&
                 !QStandardPaths::findExecutable(u"ffprobe"_s).isEmpty(),
             "ffmpeg and ffprobe are needed (scripts/setup.sh installs them)");
    QVERIFY(m_root.isValid());
    m_folder = m_root.filePath(u"動画 フォルダ"_s);
    QVERIFY(QDir().mkpath(m_folder));
    m_source = m_folder + u"/-テスト clip.avi"_s;
    const Run made =
        runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                                 u"testsrc=duration=2:size=320x240:rate=25"_s, u"-f"_s, u"lavfi"_s,
                                 u"-i"_s, u"sine=duration=2"_s, u"-c:v"_s, u"mpeg4"_s, u"-c:a"_s,
                                 u"pcm_s16le"_s, u"file:"_s + m_source});
    QVERIFY2(made.exitCode == 0, made.output);

    m_busySource = m_root.filePath(u"grain.mkv"_s);
    const Run busy = makeClip(m_busySource,
                              {u"-f"_s, u"lavfi"_s, u"-i"_s,
                               u"testsrc2=size=640x480:rate=30,noise=alls=40:allf=t+u"_s, u"-c:v"_s,
                               u"libx264"_s, u"-qp"_s, u"0"_s, u"-preset"_s, u"ultrafast"_s,
                               u"-pix_fmt"_s, u"yuv422p"_s, u"-c:a"_s, u"pcm_s16le"_s},
                              3);
    QVERIFY2(busy.exitCode == 0, busy.output);
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

    const QString rates[] = {u"30/1"_s, u"30/1"_s, u"30/1"_s, u"30/1"_s, u"15/1"_s};
    const QString samples[] = {u"48000"_s, u"48000"_s, u"44100"_s, u"44100"_s, u"44100"_s};
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
        u"-出力 q%1 r%2.%3"_s.arg(quality).arg(ratio).arg(audioOnly ? u"mp3"_s : u"mp4"_s);
    const QString output = m_folder + u"/"_s + outName;
    const QString sourceArg = relative ? QFileInfo(m_source).fileName() : m_source;
    const QString outputArg = relative ? outName : output;
    const Run run =
        runProgram(QStringLiteral(WRAPPER_PATH),
                   wrapperArgs(queue, sourceArg.toUtf8(), outputArg.toUtf8()), m_folder);
    QVERIFY2(run.exitCode == 0, run.output);

    // Progress in the form the program reads: seconds before "bitrate".
    QVERIFY2(QRegularExpression(u"time=\\d+\\.\\d\\d bitrate="_s)
                 .match(QString::fromUtf8(run.output))
                 .hasMatch(),
             run.output);
    QVERIFY2(!QRegularExpression(u"time=\\d+:"_s).match(QString::fromUtf8(run.output)).hasMatch(),
             run.output);
    // The source's length, which the program reads for the fraction done, as ffmpeg said it.
    QVERIFY2(run.output.contains("\n  Duration: 00:00:02.00, start: "), run.output);

    const QJsonObject info = probe(output);
    QVERIFY2(!info.isEmpty(), qPrintable(output));
    const double duration = info[u"format"_s][u"duration"_s].toString().toDouble();
    QVERIFY2(duration > 1.5 && duration < 2.5, qPrintable(QString::number(duration)));
    const QJsonObject audio = streamOfType(info, u"audio"_s);
    QCOMPARE(audio[u"sample_rate"_s].toString(), sampleRate);

    if (audioOnly) {
        QCOMPARE(info[u"format"_s][u"format_name"_s].toString(), u"mp3"_s);
        QCOMPARE(info[u"streams"_s].toArray().size(), 1);
        QCOMPARE(audio[u"codec_name"_s].toString(), u"mp3"_s);
        QCOMPARE(audio[u"bit_rate"_s].toString(), u"128000"_s);
        return;
    }
    QVERIFY(info[u"format"_s][u"format_name"_s].toString().contains(u"mp4"_s));
    QCOMPARE(info[u"streams"_s].toArray().size(), 2);
    const QJsonObject video = streamOfType(info, u"video"_s);
    QCOMPARE(video[u"codec_name"_s].toString(), u"mpeg4"_s);
    QCOMPARE(video[u"profile"_s].toString(), u"Simple Profile"_s);
    QCOMPARE(QSize(video[u"width"_s].toInt(), video[u"height"_s].toInt()), size);
    QCOMPARE(video[u"display_aspect_ratio"_s].toString(), aspect);
    QCOMPARE(video[u"r_frame_rate"_s].toString(), frameRate);
    QCOMPARE(audio[u"codec_name"_s].toString(), u"aac"_s);
    QCOMPARE(audio[u"channels"_s].toInt(), 2);
}

// What the iPods that play H.264 decode, on a source that presses every row against its cap; and
// no larger than the same row in MPEG-4.
void TestEncoderEndToEnd::convertsToH264_data()
{
    QTest::addColumn<int>("quality");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("frameRate");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("maxKbit");
    QTest::addColumn<int>("refs");

    QTest::newRow("q0 4:3") << 0 << 0 << QSize(640, 480) << 30 << 30 << 1500 << 1;
    QTest::newRow("q0 16:9") << 0 << 1 << QSize(640, 360) << 30 << 30 << 1500 << 1;
    QTest::newRow("q1 4:3") << 1 << 0 << QSize(320, 240) << 30 << 13 << 768 << 7;
    QTest::newRow("q3 16:9") << 3 << 1 << QSize(320, 180) << 30 << 13 << 512 << 9;
    QTest::newRow("q4 4:3") << 4 << 0 << QSize(320, 240) << 15 << 13 << 384 << 7;
}

void TestEncoderEndToEnd::convertsToH264()
{
    QFETCH(int, quality);
    QFETCH(int, ratio);
    QFETCH(QSize, size);
    QFETCH(int, frameRate);
    QFETCH(int, level);
    QFETCH(int, maxKbit);
    QFETCH(int, refs);

    ThConvertInfoObjectList queue;
    queue.Quality = static_cast<std::uint8_t>(quality);
    queue.Ratio = static_cast<std::uint8_t>(ratio);
    const QString output = m_root.filePath(u"h264 q%1 r%2.mp4"_s.arg(quality).arg(ratio));
    const QString reference = m_root.filePath(u"mpeg4 q%1 r%2.mp4"_s.arg(quality).arg(ratio));
    queue.Codec = 1;
    const Run run = runProgram(QStringLiteral(WRAPPER_PATH),
                               wrapperArgs(queue, m_busySource.toUtf8(), output.toUtf8()));
    QVERIFY2(run.exitCode == 0, run.output);
    QVERIFY2(QRegularExpression(u"time=\\d+\\.\\d\\d bitrate="_s)
                 .match(QString::fromUtf8(run.output))
                 .hasMatch(),
             run.output);

    const Run stream =
        runProgram(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-count_frames"_s, u"-select_streams"_s,
                                  u"v:0"_s, u"-show_entries"_s,
                                  u"stream=codec_name,profile,level,refs,has_b_frames,width,height,"
                                  u"r_frame_rate:frame=pict_type"_s,
                                  u"-of"_s, u"json"_s, u"file:"_s + output});
    const QJsonObject info = QJsonDocument::fromJson(stream.output).object();
    const QJsonObject video = info[u"streams"_s].toArray().first().toObject();
    QCOMPARE(video[u"codec_name"_s].toString(), u"h264"_s);
    QCOMPARE(video[u"profile"_s].toString(), u"Constrained Baseline"_s);
    QCOMPARE(video[u"level"_s].toInt(), level);
    QCOMPARE(video[u"refs"_s].toInt(), refs);
    QCOMPARE(video[u"has_b_frames"_s].toInt(), 0);
    QCOMPARE(QSize(video[u"width"_s].toInt(), video[u"height"_s].toInt()), size);
    QCOMPARE(video[u"r_frame_rate"_s].toString(), u"%1/1"_s.arg(frameRate));
    const QJsonArray frames = info[u"frames"_s].toArray();
    // Halving the rate keeps every other frame from the first on, none twice.
    QCOMPARE(frames.size(), 3 * frameRate);
    for (const QJsonValue& frame : frames)
        QVERIFY(frame[u"pict_type"_s].toString() != u"B"_s);

    // The decoder's buffer never runs dry: no second of packets holds more than one second at
    // the cap and a full buffer.
    const QList<Packet> packets = videoPackets(output);
    QCOMPARE(packets.size(), frames.size());
    const qint64 limitBytes = (maxKbit + 2000) * 1000 / 8;
    qint64 peak = 0;
    for (qsizetype first = 0, last = 0, sum = 0; first < packets.size(); ++first) {
        while (last < packets.size() && packets[last].time < packets[first].time + 1 - 1e-6)
            sum += packets[last++].bytes;
        peak = std::max(peak, qint64(sum));
        sum -= packets[first].bytes;
    }
    QVERIFY2(peak <= limitBytes, qPrintable(u"%1 bytes in a second"_s.arg(peak)));
    // A rate well under the cap would leave the check above proving nothing.
    QVERIFY2(peak > limitBytes / 4, qPrintable(u"%1 bytes in a second"_s.arg(peak)));

    // The ipod variant: an M4V file with the atom iPods look for in the sample description.
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QCOMPARE(data.mid(4, 8), QByteArray("ftypM4V "));
    QVERIFY(data.contains(QByteArray::fromHex("6b6840f25f244fc5ba39a51bcf0323f3")));
    QVERIFY(tovilo::checkOutputFile(output.toStdString(), false).empty());

    queue.Codec = 0;
    const Run described = runProgram(QStringLiteral(WRAPPER_PATH),
                                     wrapperArgs(queue, m_busySource.toUtf8(), reference.toUtf8()));
    QVERIFY2(described.exitCode == 0, described.output);
    QVERIFY2(QFileInfo(output).size() <= QFileInfo(reference).size(),
             qPrintable(u"H.264 %1 bytes, MPEG-4 %2"_s.arg(QFileInfo(output).size())
                            .arg(QFileInfo(reference).size())));
}

void TestEncoderEndToEnd::failsOnMissingSource()
{
    ThConvertInfoObjectList queue;
    const QString output = m_folder + u"/never.mp4"_s;
    const Run run =
        runProgram(QStringLiteral(WRAPPER_PATH),
                   wrapperArgs(queue, (m_folder + u"/missing.avi"_s).toUtf8(), output.toUtf8()));
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

    const QString input = m_root.filePath(source + u".avi"_s);
    if (source == u"garbage"_s) {
        QFile file(input);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 4096; ++i)
            file.write(QByteArray::number(i * 7919 % 251));
    } else if (!QFile::exists(input)) {
        const Run made =
            source == u"video only"_s
                ? runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-f"_s, u"lavfi"_s,
                                           u"-i"_s, u"testsrc=duration=1"_s, u"file:"_s + input})
                : makeClip(input,
                           {u"-f"_s, u"lavfi"_s, u"-i"_s, u"testsrc=size=320x240:rate=25"_s,
                            u"-c:v"_s, u"mpeg4"_s, u"-c:a"_s, u"pcm_s16le"_s},
                           20);
        QVERIFY2(made.exitCode == 0, made.output);
    }

    QString folder = m_root.path();
    QTemporaryDir mountPoint;
    auto unmount = qScopeGuard([&] { ::umount(mountPoint.path().toLocal8Bit().constData()); });
    if (freePages >= 0) {
        // Where the index starts in a good conversion of the same source.
        const QString probeOutput = m_root.filePath(u"layout.mp4"_s);
        const Run good = runProgram(QStringLiteral(WRAPPER_PATH), videoArgs(4, input, probeOutput));
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
        QFile filler(folder + u"/filler"_s);
        QVERIFY(filler.open(QIODevice::WriteOnly));
        QCOMPARE(filler.write(QByteArray(size - free, '\0')), size - free);
    }

    ThConvertInfoObjectList queue;
    queue.AudioOnly = audioOnly;
    queue.Quality = 4;
    const QString output = folder + (audioOnly ? u"/failed.mp3"_s : u"/failed.mp4"_s);
    const Run run = runProgram(QStringLiteral(WRAPPER_PATH),
                               wrapperArgs(queue, input.toUtf8(), output.toUtf8()));
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
    const QString folder = m_root.filePath(interlaced ? u"i/DVD_RTAV"_s : u"p/DVD_RTAV"_s);
    QVERIFY(QDir().mkpath(folder));
    const QString source = folder + u"/VR_MOVIE.VRO"_s;
    const QStringList picture =
        interlaced
            ? QStringList{u"-f"_s,     u"lavfi"_s,
                          u"-i"_s,     u"testsrc=size=720x480:rate=60000/1001"_s,
                          u"-vf"_s,    u"tinterlace=mode=interleave_top,setfield=tff"_s,
                          u"-flags"_s, u"+ilme+ildct"_s}
            : QStringList{u"-f"_s, u"lavfi"_s, u"-i"_s, u"testsrc=size=720x480:rate=30000/1001"_s};
    const Run made =
        makeClip(source, picture + QStringList{u"-target"_s, u"ntsc-dvd"_s, u"-f"_s, u"vob"_s}, 3);
    QVERIFY2(made.exitCode == 0, made.output);

    // An ffmpeg in front of the real one that notes the arguments it is given.
    QTemporaryDir standIn;
    const QString argsFile = standIn.filePath(u"args"_s);
    QFile script(standIn.filePath(u"ffmpeg"_s));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + argsFile.toUtf8() + "'\nexec '" +
                 QStandardPaths::findExecutable(u"ffmpeg"_s).toUtf8() + "' \"$@\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
    QVERIFY(
        QFile::link(QStandardPaths::findExecutable(u"ffprobe"_s), standIn.filePath(u"ffprobe"_s)));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"PATH"_s, standIn.path() + u":"_s + env.value(u"PATH"_s));

    const QString output = folder + u"/VR_MOVIE.mp4"_s;
    const Run run = runProgram(QStringLiteral(WRAPPER_PATH), videoArgs(0, source, output), {}, env);
    QVERIFY2(run.exitCode == 0, run.output);
    QFile argsText(argsFile);
    QVERIFY(argsText.open(QIODevice::ReadOnly));
    const QByteArray given = argsText.readAll();
    QVERIFY2(given.contains("\n-f\nmpeg\n-i\nfile:" + source.toUtf8() + "\n"), given);
    QVERIFY2(given.contains(interlaced
                                ? "\n-vf\nyadif=mode=send_frame:parity=auto:deint=interlaced,"
                                  "setpts=PTS+0.25/(30*TB),fps=30\n"
                                : "\n-vf\nsetpts=PTS+0.25/(30*TB),fps=30\n"),
             given);

    QCOMPARE(interlacedFrames(output), 0);
    const Run frames = runProgram(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-count_frames"_s,
                                                 u"-select_streams"_s, u"v:0"_s, u"-show_entries"_s,
                                                 u"stream=nb_read_frames,r_frame_rate"_s, u"-of"_s,
                                                 u"default=nw=1"_s, u"file:"_s + output});
    // 90 frames at 29.97 fps last 90.09 frames at 30; one field per frame would give 180.
    QVERIFY2(frames.output == "r_frame_rate=30/1\nnb_read_frames=90\n" ||
                 frames.output == "r_frame_rate=30/1\nnb_read_frames=91\n",
             frames.output);
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

    const QString output = m_root.filePath(audioOnly ? u"checked.mp3"_s : u"checked.mp4"_s);
    const Run run =
        damage == u"sound only"_s
            ? runProgram(u"ffmpeg"_s,
                         {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                          u"sine=duration=1"_s, u"-c:a"_s, u"aac"_s, u"file:"_s + output})
        : audioOnly ? runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-y"_s, u"-i"_s,
                                               u"file:"_s + m_source, u"-vn"_s, u"-c:a"_s,
                                               u"libmp3lame"_s, u"file:"_s + output})
                    : runProgram(QStringLiteral(WRAPPER_PATH), videoArgs(4, m_source, output));
    QVERIFY2(run.exitCode == 0, run.output);

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray data = file.readAll();
    const qsizetype index = data.indexOf("moov") - 4;
    if (damage.startsWith(u"cut "_s))
        data.chop(damage == u"cut index"_s ? data.size() - index : damage.mid(4).toInt());
    else if (damage == u"zero index"_s)
        data.replace(index + 8, 64, QByteArray(64, '\0'));
    else if (damage == u"insert"_s)
        data.insert(data.size() / 2, QByteArray(7, '\0'));
    QVERIFY(file.resize(0) && file.seek(0) && file.write(data) == data.size());
    file.close();

    const std::string found = tovilo::checkOutputFile(output.toStdString(), audioOnly);
    QVERIFY2(problem.isEmpty() ? found.empty() : QString::fromStdString(found).contains(problem),
             found.c_str());
}

QTEST_GUILESS_MAIN(TestEncoderEndToEnd)
#include "tst_encoder_e2e.moc"
