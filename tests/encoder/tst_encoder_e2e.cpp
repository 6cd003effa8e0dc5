// The wrapper in front of Debian's ffmpeg, fed exactly what the program builds, on two seconds of
// generated video; the results are checked with ffprobe.

#include "common/Programs.h"
#include "encoder/output/OutputCheck.h"
#include "platform/CommandLine.h"
#include "protocol/PartialOutput.h"
#include "protocol/QualityTable.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using tovilo::test::Run;
using tovilo::test::runProgram;
using tovilo::test::wrapperArgs;

namespace {

QJsonObject probe(const QString& file)
{
    const Run run =
        runProgram(u"ffprobe"_s, {u"-v"_s, u"quiet"_s, u"-show_streams"_s, u"-show_format"_s,
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
    queue.Settings.Quality = static_cast<std::uint8_t>(quality);
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
    void convertsForIpods_data();
    void convertsForIpods();
    void keepsKeyFramesForSeeking_data();
    void keepsKeyFramesForSeeking();
    void failsOnMissingSource();
    void reportsWhyItFailed_data();
    void reportsWhyItFailed();
    void convertsDvdRecordings_data();
    void convertsDvdRecordings();
    void checksTheFinishedFile_data();
    void checksTheFinishedFile();
    void readsTheSourceToItsEnd_data();
    void readsTheSourceToItsEnd();
    void keepsTheShape_data();
    void keepsTheShape();
    void convertsSoundOnlySource();
    void writesUnderAPartialName_data();
    void writesUnderAPartialName();

private:
    QTemporaryDir m_root;
    QString m_folder;     // blanks and Japanese
    QString m_source;     // file name with a leading '-'
    QString m_still;      // the picture every shape source is made of
    QString m_busySource; // 4:2:2 grain that no rate cap leaves alone
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
    m_still = m_root.filePath(u"still.png"_s);
    const Run still =
        runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                                 u"testsrc2=size=640x480"_s, u"-frames:v"_s, u"1"_s, m_still});
    QVERIFY2(still.exitCode == 0, still.output);
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
    queue.Settings.Quality = static_cast<std::uint8_t>(quality);
    queue.Settings.Ratio = static_cast<std::uint8_t>(ratio);
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
    // The picture, the sound and the cover: a still of the picture a tenth into it.
    const QJsonArray streams = info[u"streams"_s].toArray();
    QCOMPARE(streams.size(), 3);
    QCOMPARE(streams[2][u"disposition"_s][u"attached_pic"_s].toInt(), 1);
    QCOMPARE(streams[2][u"codec_name"_s].toString(), u"mjpeg"_s);
    const QJsonObject video = streamOfType(info, u"video"_s);
    QCOMPARE(video[u"codec_name"_s].toString(), u"mpeg4"_s);
    QCOMPARE(video[u"profile"_s].toString(), u"Simple Profile"_s);
    QCOMPARE(QSize(video[u"width"_s].toInt(), video[u"height"_s].toInt()), size);
    QCOMPARE(video[u"display_aspect_ratio"_s].toString(), aspect);
    QCOMPARE(video[u"r_frame_rate"_s].toString(), frameRate);
    QCOMPARE(audio[u"codec_name"_s].toString(), u"aac"_s);
    QCOMPARE(audio[u"channels"_s].toInt(), 2);
}

// What the iPods decode, on a source that presses every row against its rate: MPEG-4 in Simple
// Profile, H.264 within its level.
void TestEncoderEndToEnd::convertsForIpods_data()
{
    QTest::addColumn<int>("codec");
    QTest::addColumn<int>("quality");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("frameRate");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("maxKbit");
    QTest::addColumn<int>("bufferKbit");
    QTest::addColumn<int>("refs");

    QTest::newRow("MPEG-4 q0 4:3") << 0 << 0 << 0 << QSize(640, 480) << 30 << 0 << 2500 << 656 << 0;
    QTest::newRow("MPEG-4 q1 4:3") << 0 << 1 << 0 << QSize(320, 240) << 30 << 0 << 2500 << 656 << 0;
    QTest::newRow("MPEG-4 q2 4:3") << 0 << 2 << 0 << QSize(320, 240) << 30 << 0 << 2500 << 656 << 0;
    QTest::newRow("MPEG-4 q3 16:9")
        << 0 << 3 << 1 << QSize(320, 180) << 30 << 0 << 2500 << 656 << 0;
    QTest::newRow("MPEG-4 q4 4:3") << 0 << 4 << 0 << QSize(320, 240) << 15 << 0 << 2500 << 656 << 0;
    QTest::newRow("H.264 q0 4:3") << 1 << 0 << 0 << QSize(640, 480) << 30 << 30 << 1500 << 2000
                                  << 1;
    QTest::newRow("H.264 q0 16:9")
        << 1 << 0 << 1 << QSize(640, 360) << 30 << 30 << 1500 << 2000 << 1;
    QTest::newRow("H.264 q1 4:3") << 1 << 1 << 0 << QSize(320, 240) << 30 << 13 << 768 << 2000 << 4;
    QTest::newRow("H.264 q2 16:9")
        << 1 << 2 << 1 << QSize(320, 180) << 30 << 13 << 768 << 2000 << 4;
    QTest::newRow("H.264 q3 4:3") << 1 << 3 << 0 << QSize(320, 240) << 30 << 13 << 512 << 2000 << 4;
    QTest::newRow("H.264 q4 4:3") << 1 << 4 << 0 << QSize(320, 240) << 15 << 13 << 384 << 2000 << 4;
}

void TestEncoderEndToEnd::convertsForIpods()
{
    QFETCH(int, codec);
    QFETCH(int, quality);
    QFETCH(int, ratio);
    QFETCH(QSize, size);
    QFETCH(int, frameRate);
    QFETCH(int, level);
    QFETCH(int, maxKbit);
    QFETCH(int, bufferKbit);
    QFETCH(int, refs);

    ThConvertInfoObjectList queue;
    queue.Settings.Quality = static_cast<std::uint8_t>(quality);
    queue.Settings.Ratio = static_cast<std::uint8_t>(ratio);
    queue.Settings.Codec = static_cast<std::uint8_t>(codec);
    const QString output = m_root.filePath(u"c%1 q%2 r%3.mp4"_s.arg(codec).arg(quality).arg(ratio));
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
    if (codec == 1) {
        QCOMPARE(video[u"codec_name"_s].toString(), u"h264"_s);
        QCOMPARE(video[u"profile"_s].toString(), u"Constrained Baseline"_s);
        QCOMPARE(video[u"level"_s].toInt(), level);
        QCOMPARE(video[u"refs"_s].toInt(), refs);
    } else {
        QCOMPARE(video[u"codec_name"_s].toString(), u"mpeg4"_s);
        QCOMPARE(video[u"profile"_s].toString(), u"Simple Profile"_s);
    }
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
    // The first frame is a key frame; in MPEG-4 grain alone starts no other (ffmpeg's default
    // GOP of twelve frames would give eight here), x264 may take grain for a cut.
    QVERIFY(packets.first().key);
    const auto keys = std::count_if(packets.begin(), packets.end(), [](auto& p) { return p.key; });
    QVERIFY2(codec == 1 || keys <= 2, qPrintable(QString::number(keys)));
    const qint64 limitBytes = (maxKbit + bufferKbit) * 1000 / 8;
    qint64 peak = 0;
    qint64 total = 0;
    for (qsizetype first = 0, last = 0, sum = 0; first < packets.size(); ++first) {
        while (last < packets.size() && packets[last].time < packets[first].time + 1 - 1e-6)
            sum += packets[last++].bytes;
        peak = std::max(peak, qint64(sum));
        sum -= packets[first].bytes;
        total += packets[first].bytes;
    }
    QVERIFY2(peak <= limitBytes, qPrintable(u"%1 bytes in a second"_s.arg(peak)));
    // The row's rate over the whole clip, reached on content this hard: a rate well under it
    // would leave the bounds proving nothing. H.264 may also spend its buffer.
    const qint64 rowBytes =
        std::min(tovilo::qualityRow(quality)->videoKbit, maxKbit) * 1000 / 8 * 3;
    const qint64 bound = codec == 0 ? rowBytes * 103 / 100 : rowBytes + bufferKbit * 1000 / 8;
    QVERIFY2(total <= bound && total > rowBytes * 8 / 10,
             qPrintable(u"%1 bytes for %2"_s.arg(total).arg(rowBytes)));
    QVERIFY(tovilo::checkOutputFile(output.toStdString(), false).empty());
    if (codec == 1) {
        // The ipod variant: an M4V file with the atom iPods look for in the sample description.
        QFile file(output);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QCOMPARE(data.mid(4, 8), QByteArray("ftypM4V "));
        QVERIFY(data.contains(QByteArray::fromHex("6b6840f25f244fc5ba39a51bcf0323f3")));
    }
}

// Seeking on the iPod goes from key frame to key frame: one at a cut, none further apart than
// ten seconds, and no more than those (each costs many times a predicted frame).
void TestEncoderEndToEnd::keepsKeyFramesForSeeking_data()
{
    QTest::addColumn<int>("codec");
    QTest::addColumn<int>("quality");
    QTest::newRow("MPEG-4 q3") << 0 << 3;
    QTest::newRow("H.264 q4, 15 fps") << 1 << 4;
}

void TestEncoderEndToEnd::keepsKeyFramesForSeeking()
{
    QFETCH(int, codec);
    QFETCH(int, quality);
    const QString source = m_root.filePath(u"cut.mkv"_s);
    if (!QFile::exists(source)) {
        const Run made = makeClip(source,
                                  {u"-f"_s, u"lavfi"_s, u"-i"_s,
                                   u"testsrc2=s=320x240:r=30:d=4[a];testsrc=s=320x240:r=30:d=12,"
                                   u"hue=H=2*t[b];[a][b]concat"_s,
                                   u"-c:v"_s, u"libx264"_s, u"-qp"_s, u"0"_s, u"-preset"_s,
                                   u"ultrafast"_s, u"-c:a"_s, u"pcm_s16le"_s},
                                  16);
        QVERIFY2(made.exitCode == 0, made.output);
    }
    const QString output = m_root.filePath(u"cut%1.mp4"_s.arg(codec));
    ThConvertInfoObjectList queue;
    queue.Settings.Quality = static_cast<std::uint8_t>(quality);
    queue.Settings.Codec = static_cast<std::uint8_t>(codec);
    const Run run = runProgram(QStringLiteral(WRAPPER_PATH),
                               wrapperArgs(queue, source.toUtf8(), output.toUtf8()));
    QVERIFY2(run.exitCode == 0, run.output);
    QList<double> keys;
    for (const Packet& packet : videoPackets(output)) {
        if (packet.key)
            keys.append(packet.time);
    }
    QCOMPARE(keys.size(), 3);
    QCOMPARE(keys[0], 0.0);
    QVERIFY2(qAbs(keys[1] - 4) < 0.1, qPrintable(QString::number(keys[1])));
    QVERIFY2(keys[2] - keys[1] <= 10 + 1e-6, qPrintable(QString::number(keys[2])));
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
        // ffmpeg writes the index right after the media (where a cover's index is put later).
        const qsizetype media = data.indexOf("mdat") - 4;
        QVERIFY(media > 0);
        const qsizetype index = media + qFromBigEndian<quint32>(data.constData() + media);
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
    queue.Settings.Quality = 4;
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
        interlaced ? QStringList{u"-f"_s,      u"lavfi"_s,
                                 u"-i"_s,      u"testsrc=size=720x480:rate=60000/1001"_s,
                                 u"-vf"_s,     u"tinterlace=mode=interleave_top,setfield=tff"_s,
                                 u"-flags"_s,  u"+ilme+ildct"_s,
                                 u"-aspect"_s, u"4:3"_s}
                   : QStringList{u"-f"_s,      u"lavfi"_s,
                                 u"-i"_s,      u"testsrc=size=720x480:rate=30000/1001"_s,
                                 u"-aspect"_s, u"4:3"_s};
    const Run made =
        makeClip(source, picture + QStringList{u"-target"_s, u"ntsc-dvd"_s, u"-f"_s, u"vob"_s}, 3);
    QVERIFY2(made.exitCode == 0, made.output);

    // An ffmpeg in front of the real one that notes the arguments of each run.
    QTemporaryDir standIn;
    const QString argsFile = standIn.filePath(u"args"_s);
    QFile script(standIn.filePath(u"ffmpeg"_s));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + argsFile.toUtf8() + "'\nexec '" +
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
    QTest::newRow("mp4 index nested a million deep") << false << "nested"
                                                     << "index (moov) is damaged";
    QTest::newRow("mp4 with more samples than their table holds") << false << "sample count"
                                                                  << "index (moov) is damaged";
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
    else if (damage == u"nested"_s) {
        // moov > trak > mdia > mdia > ..., each box filling the one around it.
        constexpr qsizetype depth = 1000000;
        QByteArray index(8 * (depth + 2), '\0');
        for (qsizetype level = 0; level < depth + 2; ++level) {
            char* box = index.data() + 8 * level;
            qToBigEndian<quint32>(quint32(index.size() - 8 * level), box);
            std::memcpy(box + 4, level == 0 ? "moov" : level == 1 ? "trak" : "mdia", 4);
        }
        data = data.left(data.indexOf("moov") - 4) + index;
    } else if (damage == u"sample count"_s) {
        const qsizetype table = data.indexOf("stsz", index);
        QVERIFY(table > 0);
        QCOMPARE(qFromBigEndian<quint32>(data.constData() + table + 8), 0u); // sizes follow
        qToBigEndian<quint32>(0x7FFFFFFF, data.data() + table + 12);
    }
    QVERIFY(file.resize(0) && file.seek(0) && file.write(data) == data.size());
    file.close();

    const std::string found = tovilo::checkOutputFile(output.toStdString(), audioOnly);
    QVERIFY2(problem.isEmpty() ? found.empty() : QString::fromStdString(found).contains(problem),
             found.c_str());
}

// A failing disc: the source reads up to its middle, then every read fails with EIO. Made
// as an ext4 image on a loop device whose end is cut off under the mounted file system.
// A source whose header only claims more than it holds is read to its end and converts.
void TestEncoderEndToEnd::readsTheSourceToItsEnd_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QByteArray>("line"); // empty: converted
    QTest::newRow("disc unreadable from its middle")
        << "cut disc" << QByteArray("input-incomplete: Input/output error");
    QTest::newRow("header overstates the length") << "long header" << QByteArray();
    // A source that changes while it converts gives a short file that looks complete.
    const QByteArray changed =
        "input-changed: the source changed while it was converted (a recording still running?)";
    QTest::newRow("recording still being written") << "recording" << changed;
    QTest::newRow("cut to a third during the run") << "cut during" << changed;
}

void TestEncoderEndToEnd::readsTheSourceToItsEnd()
{
    QFETCH(QString, damage);
    QFETCH(QByteArray, line);
    QTemporaryDir work;
    QString input = work.filePath(u"clip.avi"_s);
    const QString output = work.filePath(u"clip.mp4"_s);
    QString loopDevice;
    QTemporaryDir mountPoint;
    const QByteArray mountPath = QFile::encodeName(mountPoint.path());
    auto detach = qScopeGuard([&] {
        ::umount(mountPath.constData());
        if (!loopDevice.isEmpty())
            runProgram(u"losetup"_s, {u"-d"_s, loopDevice});
    });

    if (damage == u"cut disc"_s) {
        const QString image = work.filePath(u"disc.img"_s);
        QFile imageFile(image);
        QVERIFY(imageFile.open(QIODevice::WriteOnly) && imageFile.resize(64 << 20));
        imageFile.close();
        QCOMPARE(runProgram(u"mkfs.ext4"_s, {u"-q"_s, u"-F"_s, image}).exitCode, 0);
        const Run attached = runProgram(u"losetup"_s, {u"-f"_s, u"--show"_s, image});
        if (attached.exitCode != 0)
            QSKIP("no loop device can be set up here (needs root)");
        loopDevice = QString::fromUtf8(attached.output.trimmed());
        const QByteArray device = QFile::encodeName(loopDevice);
        if (::mount(device.constData(), mountPath.constData(), "ext4", 0, nullptr) != 0)
            QSKIP("the loop device cannot be mounted here (needs root)");
        input = mountPoint.filePath(u"clip.avi"_s);
        const Run made = makeClip(input,
                                  {u"-f"_s, u"lavfi"_s, u"-i"_s, u"testsrc=size=320x240:rate=25"_s,
                                   u"-c:v"_s, u"mpeg4"_s, u"-c:a"_s, u"pcm_s16le"_s},
                                  20);
        QVERIFY2(made.exitCode == 0, made.output);
        // Mounted afresh, nothing of the file is cached.
        QCOMPARE(::umount(mountPath.constData()), 0);
        QCOMPARE(::mount(device.constData(), mountPath.constData(), "ext4", MS_RDONLY, nullptr), 0);
        // "   0:        0..    2047:      10241..     12288:   2048:"
        const Run extents = runProgram(u"filefrag"_s, {u"-v"_s, u"-b4096"_s, input});
        const QRegularExpression first(
            u"^\\s*0:\\s*0\\.\\.\\s*\\d+:\\s*(\\d+)\\.\\.\\s*\\d+:\\s*(\\d+):"_s,
            QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = first.match(QString::fromUtf8(extents.output));
        QVERIFY2(match.hasMatch(), extents.output);
        const qint64 cut =
            (match.captured(1).toLongLong() + match.captured(2).toLongLong() / 2) * 4096;
        QVERIFY(QFile::resize(image, cut));
        QCOMPARE(runProgram(u"losetup"_s, {u"-c"_s, loopDevice}).exitCode, 0);
    } else if (damage == u"recording"_s || damage == u"cut during"_s) {
        input = work.filePath(u"recording.ts"_s);
        const bool live = damage == u"recording"_s;
        // Written in real time for the recording, at once for the one that is cut.
        const QString writing = (live ? u"-re "_s : QString()) +
                                u"-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t "_s +
                                (live ? u"60"_s : u"20"_s) +
                                u" -c:v mpeg2video -c:a mp2 -flush_packets 1 -f mpegts"_s;
        QProcess writer;
        writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        writer.start(u"ffmpeg"_s, QStringList{u"-nostdin"_s, u"-v"_s, u"error"_s, u"-y"_s} +
                                      writing.split(u' ') + QStringList{u"file:"_s + input});
        auto stopWriter = qScopeGuard([&] {
            writer.kill();
            writer.waitForFinished();
        });
        if (live)
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(input).size() > (200 << 10), 30000);
        else
            QVERIFY(writer.waitForFinished(60000) && writer.exitCode() == 0);

        QProcess wrapper;
        wrapper.setProcessChannelMode(QProcess::MergedChannels);
        wrapper.start(QStringLiteral(WRAPPER_PATH), videoArgs(4, input, output));
        QVERIFY(wrapper.waitForStarted());
        if (!live) {
            // Once the wrapper has a child, it has looked at the source: held there, the
            // source is cut under it.
            const QString children = u"/proc/%1/task/%1/children"_s.arg(wrapper.processId());
            const auto hasChild = [&] {
                QFile file(children);
                return file.open(QIODevice::ReadOnly) && !file.readAll().trimmed().isEmpty();
            };
            if (!QFile::exists(children))
                QSKIP("the kernel does not list a process's children");
            QTRY_VERIFY_WITH_TIMEOUT(hasChild(), 30000);
            ::kill(pid_t(wrapper.processId()), SIGSTOP);
            QVERIFY(QFile::resize(input, QFileInfo(input).size() / 3));
            ::kill(pid_t(wrapper.processId()), SIGCONT);
        }
        QVERIFY(wrapper.waitForFinished(120000));
        const QByteArray text = wrapper.readAll();
        QVERIFY2(wrapper.exitCode() > 0, text);
        QVERIFY2(text.endsWith("\nlib/ffmpeg: error: " + line + "\n"), text);
        QVERIFY(!QFile::exists(output));
        return;
    } else {
        const Run made =
            makeClip(input, {u"-f"_s, u"lavfi"_s, u"-i"_s, u"testsrc=size=320x240:rate=25"_s,
                             u"-c:v"_s, u"mpeg4"_s, u"-c:a"_s, u"pcm_s16le"_s});
        QVERIFY2(made.exitCode == 0, made.output);
        // The main header's frame count and the video stream's length, a hundred times over.
        QFile file(input);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray data = file.readAll();
        const qsizetype avih = data.indexOf("avih");
        const qsizetype strh = data.indexOf("vids") - 8; // "strh", its size, "vids"
        QVERIFY(avih > 0 && strh > 0 && data.mid(strh, 4) == "strh");
        const auto scale = [&](qsizetype at) {
            const quint32 value = qFromLittleEndian<quint32>(data.constData() + at);
            qToLittleEndian<quint32>(value * 100, data.data() + at);
        };
        scale(avih + 8 + 16); // dwTotalFrames
        scale(strh + 8 + 32); // dwLength
        QVERIFY(file.seek(0) && file.write(data) == data.size());
    }

    const Run run = runProgram(QStringLiteral(WRAPPER_PATH), videoArgs(4, input, output));
    if (line.isEmpty()) {
        QVERIFY2(run.exitCode == 0, run.output);
        QVERIFY(QFileInfo(output).size() > 0);
    } else {
        QVERIFY2(run.exitCode > 0, run.output);
        QVERIFY2(run.output.endsWith("\nlib/ffmpeg: error: " + line + "\n"), run.output);
        QVERIFY(!QFile::exists(output));
    }
}

namespace {

QStringList ffmpegArgs(const QString& text)
{
    return QStringList{u"-nostdin"_s, u"-v"_s, u"error"_s, u"-y"_s} +
           text.split(u' ', Qt::SkipEmptyParts);
}

// The picture's area in the output as cropdetect finds it over all frames.
QRect pictureArea(const QString& file)
{
    const Run run = runProgram(
        u"ffmpeg"_s, {u"-nostdin"_s, u"-hide_banner"_s, u"-i"_s, u"file:"_s + file, u"-vf"_s,
                      u"cropdetect=limit=24:round=2:reset=0"_s, u"-f"_s, u"null"_s, u"-"_s});
    QRegularExpression crop(u"crop=(\\d+):(\\d+):(\\d+):(\\d+)"_s);
    QRect area;
    for (const auto& match : crop.globalMatch(QString::fromUtf8(run.output)))
        area = QRect(match.captured(3).toInt(), match.captured(4).toInt(),
                     match.captured(1).toInt(), match.captured(2).toInt());
    return area;
}

bool near(const QRect& a, const QRect& b)
{
    return qAbs(a.left() - b.left()) <= 2 && qAbs(a.top() - b.top()) <= 2 &&
           qAbs(a.right() - b.right()) <= 2 && qAbs(a.bottom() - b.bottom()) <= 2;
}

// Mean luma difference (0..255) between the picture area of the output's 16th frame and the
// still the source was made of, scaled to the same size.
double differenceFromStill(const QString& file, const QRect& area, const QString& still)
{
    const QString png = file + u".png"_s;
    const Run run =
        runProgram(u"ffmpeg"_s, ffmpegArgs(u"-i"_s) + QStringList{u"file:"_s + file, u"-vf"_s,
                                                                  u"select=eq(n\\,15)"_s,
                                                                  u"-frames:v"_s, u"1"_s, png});
    const QImage frame = QImage(png).copy(area).convertToFormat(QImage::Format_Grayscale8);
    const QImage expected =
        QImage(still)
            .scaled(area.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .convertToFormat(QImage::Format_Grayscale8);
    if (run.exitCode != 0 || frame.isNull() || frame.size() != expected.size())
        return 255;
    double sum = 0;
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x)
            sum += qAbs(frame.constScanLine(y)[x] - expected.constScanLine(y)[x]);
    }
    return sum / (frame.width() * frame.height());
}

double signalAverage(const QString& file, const QString& key)
{
    const Run run =
        runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-i"_s, u"file:"_s + file, u"-vf"_s,
                                 u"format=yuv420p,signalstats,metadata=print:key="_s + key,
                                 u"-frames:v"_s, u"1"_s, u"-f"_s, u"null"_s, u"-"_s});
    const auto match =
        QRegularExpression(key + u"=([0-9.]+)"_s).match(QString::fromUtf8(run.output));
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

double meanVolume(const QString& file)
{
    const Run run = runProgram(u"ffmpeg"_s, {u"-nostdin"_s, u"-i"_s, u"file:"_s + file, u"-af"_s,
                                             u"volumedetect"_s, u"-f"_s, u"null"_s, u"-"_s});
    const auto match =
        QRegularExpression(u"mean_volume: (-?[0-9.]+) dB"_s).match(QString::fromUtf8(run.output));
    return match.hasMatch() ? match.captured(1).toDouble() : 0;
}

struct Timing
{
    double duration = -1;
    double videoStart = -1;
    double audioStart = -1;
};

Timing timingOf(const QString& file)
{
    const QJsonObject info = probe(file);
    Timing timing;
    timing.duration = info[u"format"_s][u"duration"_s].toString().toDouble();
    timing.videoStart = streamOfType(info, u"video"_s)[u"start_time"_s].toString().toDouble();
    timing.audioStart = streamOfType(info, u"audio"_s)[u"start_time"_s].toString().toDouble();
    return timing;
}

// When the first picture that decodes is shown, and when the source ends.
QPair<double, double> decodableSpan(const QString& file)
{
    const Run run =
        runProgram(u"ffprobe"_s, {u"-v"_s, u"quiet"_s, u"-select_streams"_s, u"v:0"_s,
                                  u"-show_entries"_s, u"frame=best_effort_timestamp_time"_s,
                                  u"-of"_s, u"csv=p=0"_s, u"file:"_s + file});
    const QList<QByteArray> times = run.output.trimmed().split('\n');
    const QJsonObject format = probe(file)[u"format"_s].toObject();
    return {times.value(0).toDouble(), format[u"start_time"_s].toString().toDouble() +
                                           format[u"duration"_s].toString().toDouble()};
}

} // namespace

// Sources of every shape and kind a person may have, made from one still; the converted
// picture must sit upright in its true shape where cropdetect finds it.
void TestEncoderEndToEnd::keepsTheShape_data()
{
    QTest::addColumn<QString>("name"); // file name of the source
    QTest::addColumn<QString>("make"); // ffmpeg arguments after the still and the sound
    QTest::addColumn<int>("ratio");    // 0: 320x240 frame, 1: 320x180
    QTest::addColumn<QRect>("picture");
    QTest::addColumn<QString>("kind"); // what else to check

    const QRect full(0, 0, 320, 240);
    const QRect fullWide(0, 0, 320, 180);
    const QRect letterbox(0, 30, 320, 180);
    const QRect portrait(92, 0, 136, 240);
    const QString h264 = u"-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac"_s;
    QTest::newRow("portrait phone clip")
        << u"phone.mp4"_s << u"-vf scale=180:320,setsar=1 "_s + h264 << 0 << portrait << "";
    QTest::newRow("stored landscape, display matrix turns it")
        << u"turned.mp4"_s << u"-vf scale=180:320,setsar=1,transpose=clock "_s + h264 << 0
        << portrait << "rotate";
    // ffmpeg would turn this inside the landscape frame; it takes the nearest quarter turn.
    QTest::newRow("display matrix of 80 degrees")
        << u"turned80.mp4"_s << u"-vf scale=180:320,setsar=1,transpose=clock "_s + h264 << 0
        << portrait << "rotate80";
    QTest::newRow("16:9 DVD in a 4:3 frame")
        << u"wide.vob"_s
        << u"-vf scale=320:180,scale=720:480,setsar=32/27 -target ntsc-dvd -aspect 16:9"_s << 0
        << letterbox << "";
    QTest::newRow("4:3 in a 16:9 frame")
        << u"square.avi"_s << u"-vf scale=320:240 -c:v mpeg4 -c:a pcm_s16le"_s << 1
        << QRect(40, 0, 240, 180) << "";
    QTest::newRow("1440x1080 broadcast, SAR 4:3")
        << u"broadcast.m2ts"_s << u"-r 10 -vf scale=320:180,scale=1440:1080,setsar=4/3 "_s + h264
        << 0 << letterbox << "";
    QTest::newRow("1.85:1 fills a 16:9 frame")
        << u"cinema.mkv"_s << u"-vf scale=370:200,setsar=1 "_s + h264 << 1 << fullWide << "";
    QTest::newRow("HEVC 10-bit")
        << u"hevc.mkv"_s
        << u"-vf scale=320:240 -c:v libx265 -x265-params log-level=error -pix_fmt yuv420p10le "
           u"-c:a aac"_s
        << 0 << full << "";
    QTest::newRow("HDR PQ BT.2020")
        << u"hdr.mov"_s
        << u"-vf scale=320:240,format=yuv420p,zscale=tin=bt709:min=bt709:pin=bt709:rin=tv:"
           u"t=linear:p=bt709:npl=100,format=gbrpf32le,zscale=p=bt2020,zscale=t=smpte2084:"
           u"npl=100,zscale=m=bt2020nc:r=tv,format=yuv420p10le -c:v libx265 -x265-params "
           u"log-level=error -color_trc smpte2084 -color_primaries bt2020 -colorspace bt2020nc "
           u"-c:a aac"_s
        << 0 << full << "hdr";
    QTest::newRow("variable frame rate, picture from 0.3 s")
        << u"vfr.mp4"_s
        << u"-vf scale=320:240,select='not(between(n\\,20\\,40))*not(eq(mod(n\\,7)\\,3))',"
           u"setpts=PTS+0.3/TB -fps_mode vfr "_s +
               h264
        << 0 << full << "vfr";
    QTest::newRow("TS with two programmes")
        << u"two.ts"_s
        << u"-f lavfi -i anullsrc=cl=mono:r=48000 -filter_complex "
           u"[0:v]split[a][b];[a]scale=320:180[pa];[b]scale=320:240[pb] -map [pa] -map 1:a "
           u"-map [pb] -map 2:a -c:v mpeg2video -c:a mp2 -program title=A:st=0:st=1 -program "
           u"title=B:st=2:st=3"_s
        << 0 << full << "programme";
    QTest::newRow("TS that begins mid-GOP")
        << u"cut.ts"_s << u"-vf scale=320:240 -g 30 "_s + h264 << 0 << full << "broken";
    QTest::newRow("mkv") << u"clip.mkv"_s
                         << u"-vf scale=320:240 -c:v libx264 -preset ultrafast -c:a libvorbis"_s
                         << 0 << full << "";
    QTest::newRow("webm")
        << u"clip.webm"_s
        << u"-vf scale=320:240 -c:v libvpx -deadline realtime -b:v 500k -c:a libopus"_s << 0 << full
        << "";
    QTest::newRow("mov") << u"clip.mov"_s << u"-vf scale=320:240 -c:v mjpeg -c:a pcm_s16le"_s << 0
                         << full << "";
    QTest::newRow("wmv") << u"clip.wmv"_s << u"-vf scale=320:240 -c:v wmv2 -c:a wmav2"_s << 0
                         << full << "";
}

void TestEncoderEndToEnd::keepsTheShape()
{
    QFETCH(QString, name);
    QFETCH(QString, make);
    QFETCH(int, ratio);
    QFETCH(QRect, picture);
    QFETCH(QString, kind);

    const QString seconds = kind == u"broken"_s ? u"4"_s : u"2"_s;
    const QString source = m_root.filePath(name);
    const QString made =
        kind.startsWith(u"rotate"_s) || kind == u"broken"_s ? source + u".tmp.ts"_s : source;
    const Run run = runProgram(
        u"ffmpeg"_s,
        ffmpegArgs(u"-loop 1 -framerate 30 -t %1 -i"_s.arg(seconds)) + QStringList{m_still} +
            ffmpegArgs(u"-f lavfi -i sine=duration="_s + seconds).mid(3) +
            make.split(u' ', Qt::SkipEmptyParts) + QStringList{u"-t"_s, seconds, made});
    QVERIFY2(run.exitCode == 0, run.output);
    if (kind.startsWith(u"rotate"_s)) {
        // ffmpeg 5.1 writes this as a display matrix of a quarter turn counter-clockwise
        // (ffprobe: rotation=90), which brings the picture back upright.
        const Run turned =
            runProgram(u"ffmpeg"_s, ffmpegArgs(u"-i"_s) + QStringList{made} +
                                        ffmpegArgs(u"-c copy -metadata:s:v:0 rotate="_s +
                                                   (kind == u"rotate"_s ? u"90"_s : u"80"_s))
                                            .mid(3) +
                                        QStringList{source});
        QVERIFY2(turned.exitCode == 0, turned.output);
    } else if (kind == u"broken"_s) {
        // A recording switched on in the middle of a GOP: the first second cut away.
        QFile whole(made);
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QByteArray data = whole.readAll();
        QFile cut(source);
        QVERIFY(cut.open(QIODevice::WriteOnly));
        const qsizetype skip = data.size() / 188 / 3 * 188;
        QVERIFY(cut.write(data.mid(skip)) == data.size() - skip);
    }

    ThConvertInfoObjectList queue;
    queue.Settings.Quality = 3;
    queue.Settings.Ratio = static_cast<std::uint8_t>(ratio);
    const QString output = source + u".mp4"_s;
    const Run converted = runProgram(QStringLiteral(WRAPPER_PATH),
                                     wrapperArgs(queue, source.toUtf8(), output.toUtf8()));
    QVERIFY2(converted.exitCode == 0, converted.output);

    const QJsonObject video = streamOfType(probe(output), u"video"_s);
    const QSize frame(320, ratio == 0 ? 240 : 180);
    QCOMPARE(QSize(video[u"width"_s].toInt(), video[u"height"_s].toInt()), frame);
    QCOMPARE(video[u"pix_fmt"_s].toString(), u"yuv420p"_s);
    const QRect area = pictureArea(output);
    QVERIFY2(near(area, picture), qPrintable(u"found %1,%2 %3x%4"_s.arg(area.x())
                                                 .arg(area.y())
                                                 .arg(area.width())
                                                 .arg(area.height())));
    if (kind != u"hdr"_s) {
        const double difference = differenceFromStill(output, picture, m_still);
        QVERIFY2(difference < 20, qPrintable(QString::number(difference)));
    }

    if (kind == u"hdr"_s) {
        // Read as if it were SDR the picture is grey and flat; tone-mapped its colours stay.
        const QString plain = source + u".plain.mp4"_s;
        const Run untouched = runProgram(
            u"ffmpeg"_s, ffmpegArgs(u"-i"_s) + QStringList{source} +
                             ffmpegArgs(u"-c:v mpeg4 -q:v 2 -an"_s).mid(3) + QStringList{plain});
        QVERIFY2(untouched.exitCode == 0, untouched.output);
        const double mapped = signalAverage(output, u"lavfi.signalstats.SATAVG"_s);
        const double flat = signalAverage(plain, u"lavfi.signalstats.SATAVG"_s);
        QVERIFY2(mapped > 2 * flat, qPrintable(u"%1 against %2"_s.arg(mapped).arg(flat)));
        QCOMPARE(video[u"color_transfer"_s].toString(), u"bt709"_s);
    } else if (kind == u"programme"_s) {
        // Programme B has the larger picture and a silent sound; A's sine must not slip in.
        QVERIFY2(meanVolume(output) < -80, qPrintable(QString::number(meanVolume(output))));
    } else if (kind == u"vfr"_s || kind == u"broken"_s) {
        const Timing timing = timingOf(output);
        QVERIFY2(qAbs(timing.videoStart - timing.audioStart) <= 0.1,
                 qPrintable(u"%1 %2"_s.arg(timing.videoStart).arg(timing.audioStart)));
        const auto [first, end] = decodableSpan(source);
        const double expected = kind == u"vfr"_s ? timingOf(source).duration : end - first;
        QVERIFY2(qAbs(timing.duration - expected) <= 0.1,
                 qPrintable(u"%1 against %2"_s.arg(timing.duration).arg(expected)));
    }
}

// A source without a picture converted to video gives an MP4 of its sound, and succeeds.
void TestEncoderEndToEnd::convertsSoundOnlySource()
{
    const QString source = m_root.filePath(u"voice memo.mp4"_s);
    const Run made = runProgram(u"ffmpeg"_s, ffmpegArgs(u"-f lavfi -i sine=duration=2 -c:a aac"_s) +
                                                 QStringList{source});
    QVERIFY2(made.exitCode == 0, made.output);
    const QString output = m_root.filePath(u"voice memo converted.mp4"_s);
    const Run run = runProgram(QStringLiteral(WRAPPER_PATH), videoArgs(1, source, output));
    QVERIFY2(run.exitCode == 0, run.output);
    const QJsonObject info = probe(output);
    QCOMPARE(info[u"streams"_s].toArray().size(), 1);
    QCOMPARE(streamOfType(info, u"audio"_s)[u"codec_name"_s].toString(), u"aac"_s);
    const double duration = info[u"format"_s][u"duration"_s].toString().toDouble();
    QVERIFY2(duration > 1.9 && duration < 2.1, qPrintable(QString::number(duration)));
}

// Until the conversion is complete the output's name holds what the run found there, and the
// conversion a name derived from it; paused mid-run, stopped, or after a run killed outright.
void TestEncoderEndToEnd::writesUnderAPartialName_data()
{
    QTest::addColumn<QByteArray>("atName");  // the reservation (empty), or an earlier file
    QTest::addColumn<QString>("atPartial");  // "", "leftover" of ours, "link"
    QTest::addColumn<QByteArray>("failure"); // empty: converted; "stopped": SIGTERM while paused
    QTest::newRow("leftover of a killed run") << QByteArray() << "leftover" << QByteArray();
    QTest::newRow("stopped while paused") << QByteArray() << "" << QByteArray("stopped");
    QTest::newRow("stopped, earlier file kept")
        << QByteArray("earlier") << "" << QByteArray("stopped");
    QTest::newRow("link at the partial name")
        << QByteArray() << "link" << QByteArray("output-unwritable: .tovilo-");
}

void TestEncoderEndToEnd::writesUnderAPartialName()
{
    QFETCH(QByteArray, atName);
    QFETCH(QString, atPartial);
    QFETCH(QByteArray, failure);
    const QString source = m_root.filePath(u"half a minute.avi"_s);
    if (!QFile::exists(source))
        QCOMPARE(makeClip(source, {u"-f"_s, u"lavfi"_s, u"-i"_s, u"testsrc"_s}, 30).exitCode, 0);
    QTemporaryDir dir;
    const QString output = dir.filePath(u"clip.mp4"_s);
    QFile file(output);
    struct stat reserved = {};
    QVERIFY(file.open(QIODevice::ReadWrite) && file.write(atName) == atName.size() &&
            file.flush() && ::fstat(file.handle(), &reserved) == 0);
    const QString partial =
        dir.filePath(QString::fromStdString(tovilo::partialOutputName(reserved.st_ino)));
    if (!atPartial.isEmpty())
        QVERIFY(atPartial == u"link"_s ? QFile::link(source, partial)
                                       : QFile::copy(m_still, partial));
    QDir folder(dir.path(), {}, QDir::Name, QDir::Files | QDir::Hidden | QDir::System);
    QStringList expected = failure.isEmpty() ? QStringList{u"clip.mp4"_s} : folder.entryList();
    if (!failure.isEmpty() && atName.isEmpty())
        expected.removeOne(u"clip.mp4"_s); // the reservation goes, as before

    QProcess wrapper;
    wrapper.setChildProcessModifier([] { ::setpgid(0, 0); });
    wrapper.setProcessChannelMode(QProcess::MergedChannels);
    wrapper.start(QStringLiteral(WRAPPER_PATH), videoArgs(0, source, output));
    QByteArray text;
    while (!failure.startsWith("output-") && !text.contains("time=") &&
           wrapper.waitForReadyRead(30000))
        text += wrapper.readAll();
    if (text.contains("time=")) {
        // Paused as the program pauses a job: the name holds what it held, the conversion its own.
        const pid_t pid = pid_t(wrapper.processId());
        QCOMPARE(::kill(-pid, SIGSTOP), 0);
        const QList<qint64> sizes{QFileInfo(output).size(), QFileInfo(partial).size()};
        ::kill(pid, failure.isEmpty() ? SIGCONT : SIGTERM);
        ::kill(-pid, SIGCONT);
        QVERIFY(sizes[0] == atName.size() && sizes[1] > 0);
    }
    QVERIFY(wrapper.waitForFinished(60000));
    text += wrapper.readAll();
    QVERIFY2(failure.isEmpty() ? wrapper.exitCode() == 0
                               : text.contains("lib/ffmpeg: error: " + failure),
             text.right(300));
    folder.refresh();
    QCOMPARE(folder.entryList(), expected);
    QVERIFY(failure.isEmpty() ? tovilo::checkOutputFile(output.toStdString(), false).empty()
                              : file.seek(0) && file.readAll() == atName); // earlier file intact
}

QTEST_GUILESS_MAIN(TestEncoderEndToEnd)
#include "tst_encoder_e2e.moc"
