#include "encoder/WrapperArgs.h"

#include <QStringList>
#include <QTest>

using tovilo::ArgumentError;
using tovilo::mapArguments;

namespace {

std::vector<std::string> toArgs(const QStringList& list)
{
    std::vector<std::string> args;
    for (const QString& arg : list)
        args.push_back(arg.toStdString());
    return args;
}

QStringList fromArgs(const std::vector<std::string>& args)
{
    QStringList list;
    for (const std::string& arg : args)
        list << QString::fromStdString(arg);
    return list;
}

const QString kAsync = QStringLiteral("aresample=async=1000:min_hard_comp=0.100000:first_pts=0");

QStringList videoCommand(const QString& size, const QString& rate, const QString& videoBits,
                         const QString& sampleRate, const QString& audioBits)
{
    return {"-y",      "-i",      "/in/clip.avi", "-flags", "bitexact", "-vcodec", "mpeg4",
            "-s",      size,      "-async",       "1000",   "-r",       rate,      "-acodec",
            "libfaac", "-b",      videoBits,      "-ac",    "2",        "-ar",     sampleRate,
            "-ab",     audioBits, "-f",           "mp4",    "-vlevel",  "30",      "/out/clip.mp4"};
}

const QStringList kAudioCommand = {"-y",  "-i",    "/in/clip.avi", "-ab", "128k",
                                   "-ar", "44100", "-f",           "mp3", "/out/clip.mp3"};

} // namespace

class TestWrapperArgs : public QObject
{
    Q_OBJECT

private slots:
    void mapsEveryQualityRow_data();
    void mapsEveryQualityRow();
    void mapsAudio();
    void refuses_data();
    void refuses();
};

void TestWrapperArgs::mapsEveryQualityRow_data()
{
    QTest::addColumn<QStringList>("legacy");
    QTest::addColumn<QStringList>("expected");

    struct Row
    {
        const char* name;
        QString size, aspect, rate, videoBits, sampleRate, audioBits;
    };
    const Row rows[] = {
        {"q0 4:3", "640x480", "4:3", "30", "2500", "48000", "160k"},
        {"q0 16:9", "640x360", "16:9", "30", "2500", "48000", "160k"},
        {"q1 4:3", "320x240", "4:3", "30", "2048", "48000", "128k"},
        {"q1 16:9", "320x180", "16:9", "30", "2048", "48000", "128k"},
        {"q2 4:3", "320x240", "4:3", "30", "1024", "44100", "128k"},
        {"q2 16:9", "320x180", "16:9", "30", "1024", "44100", "128k"},
        {"q3 4:3", "320x240", "4:3", "30", "512", "44100", "128k"},
        {"q3 16:9", "320x180", "16:9", "30", "512", "44100", "128k"},
        {"q4 4:3", "320x240", "4:3", "15", "384", "44100", "64k"},
        {"q4 16:9", "320x180", "16:9", "15", "384", "44100", "64k"},
    };
    for (const Row& row : rows) {
        const QString expected =
            QString("-hide_banner -nostdin -y -i file:/in/clip.avi -c:v mpeg4 -flags bitexact "
                    "-b:v %1k -s %2 -aspect %3 -r %4 -c:a aac -b:a %5 -ac 2 -ar %6 -af %7 -sn "
                    "-f mp4 file:/out/clip.mp4")
                .arg(row.videoBits, row.size, row.aspect, row.rate, row.audioBits, row.sampleRate,
                     kAsync);
        QTest::newRow(row.name) << videoCommand(row.size, row.rate, row.videoBits + "kb",
                                                row.sampleRate, row.audioBits)
                                << expected.split(' ');
    }
}

void TestWrapperArgs::mapsEveryQualityRow()
{
    QFETCH(QStringList, legacy);
    QFETCH(QStringList, expected);
    QCOMPARE(fromArgs(mapArguments(toArgs(legacy))), expected);
}

void TestWrapperArgs::mapsAudio()
{
    QCOMPARE(fromArgs(mapArguments(toArgs(kAudioCommand))),
             (QStringList{"-hide_banner", "-nostdin", "-y", "-i", "file:/in/clip.avi", "-vn", "-sn",
                          "-c:a", "libmp3lame", "-b:a", "128k", "-ar", "44100", "-f", "mp3",
                          "file:/out/clip.mp3"}));
}

void TestWrapperArgs::refuses_data()
{
    QTest::addColumn<QStringList>("legacy");
    QTest::addColumn<QString>("message");

    const QStringList video = videoCommand("640x480", "30", "2500kb", "48000", "160k");
    QStringList unknown = video;
    unknown.insert(1, "-threads");
    unknown.insert(2, "4");
    QTest::newRow("unknown option") << unknown << "unknown option -threads";

    // Quality outside the table: the string ends after "-async 1000".
    QTest::newRow("no output file")
        << QStringList{"-y",    "-i", "/in/clip.avi", "-flags", "bitexact", "-vcodec",
                       "mpeg4", "-s", "640x480",      "-async", "1000"}
        << "no output file";
    QTest::newRow("missing value")
        << QStringList{"-y", "-i", "/in/clip.avi", "-ab", "128k", "-ar", "44100", "-f"}
        << "-f needs a value";
    QTest::newRow("no input") << QStringList{"-y",    "-ab", "128k", "-ar",
                                             "44100", "-f",  "mp3",  "/out/clip.mp3"}
                              << "no input file";
    QTest::newRow("nothing") << QStringList{} << "no input file";
    QTest::newRow("value outside the table")
        << videoCommand("720x480", "30", "2500kb", "48000", "160k") << "\"720x480\" of option -s";
    QTest::newRow("newer bit rate spelling")
        << videoCommand("640x480", "30", "2500k", "48000", "160k") << "\"2500k\" of option -b";
    QTest::newRow("option twice") << QStringList{"-y",  "-y",   "-i",           "/in/clip.avi",
                                                 "-ab", "128k", "-ar",          "44100",
                                                 "-f",  "mp3",  "/out/clip.mp3"}
                                  << "-y is given more than once";
    QStringList noFrameSize = video;
    noFrameSize.remove(noFrameSize.indexOf("-s"), 2);
    QTest::newRow("video option missing") << noFrameSize << "option -s is missing";
    QStringList audioWithVideo = kAudioCommand;
    audioWithVideo.insert(1, "-s");
    audioWithVideo.insert(2, "320x240");
    QTest::newRow("video option on mp3") << audioWithVideo << "-s does not apply";
    QStringList twoOutputs = kAudioCommand;
    twoOutputs.insert(1, "/out/other.mp3");
    QTest::newRow("stray argument") << twoOutputs << "unexpected argument \"/out/other.mp3\"";
    QStringList emptyOutput = kAudioCommand;
    emptyOutput.last() = "";
    QTest::newRow("empty output") << emptyOutput << "output file name is empty";
    QStringList emptyInput = kAudioCommand;
    emptyInput[2] = "";
    QTest::newRow("empty input") << emptyInput << "input file name is empty";
}

void TestWrapperArgs::refuses()
{
    QFETCH(QStringList, legacy);
    QFETCH(QString, message);
    try {
        const QStringList mapped = fromArgs(mapArguments(toArgs(legacy)));
        QFAIL(qPrintable("accepted, mapped to: " + mapped.join(' ')));
    } catch (const ArgumentError& error) {
        QVERIFY2(QString::fromUtf8(error.what()).contains(message), error.what());
    }
}

QTEST_GUILESS_MAIN(TestWrapperArgs)
#include "tst_wrapperargs.moc"
