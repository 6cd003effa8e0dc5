// The wrapper in front of Debian's ffmpeg, fed exactly what the program builds, on two seconds of
// generated video; the results are checked with ffprobe.

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

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

Run runProgram(const QString& program, const QStringList& args, const QString& workingDir = {})
{
    QProcess process;
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

} // namespace

class TestEncoderEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void converts_data();
    void converts();
    void failsOnMissingSource();

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

QTEST_GUILESS_MAIN(TestEncoderEndToEnd)
#include "tst_encoder_e2e.moc"
