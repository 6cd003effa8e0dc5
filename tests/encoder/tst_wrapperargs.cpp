#include "encoder/WrapperArgs.h"

#include <QStringList>
#include <QTest>

using namespace Qt::StringLiterals;

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

const QString kAsync = u"aresample=async=1000:min_hard_comp=0.100000:first_pts=0"_s;

QStringList videoCommand(const QString& size, const QString& rate, const QString& videoBits,
                         const QString& sampleRate, const QString& audioBits)
{
    // None of the values holds a space.
    return u"-y -i /in/clip.avi -flags bitexact -vcodec mpeg4 -s %1 -async 1000 -r %2 -acodec "
           u"libfaac -b %3 -ac 2 -ar %4 -ab %5 -f mp4 -vlevel 30 /out/clip.mp4"_s
               .arg(size, rate, videoBits, sampleRate, audioBits)
               .split(u' ');
}

const QStringList kAudioCommand =
    u"-y -i /in/clip.avi -ab 128k -ar 44100 -f mp3 /out/clip.mp3"_s.split(u' ');

} // namespace

class TestWrapperArgs : public QObject
{
    Q_OBJECT

private slots:
    void mapsEveryQualityRow_data();
    void mapsEveryQualityRow();
    void mapsH264Rows_data();
    void mapsH264Rows();
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
        QString size, aspect, rate, videoBits, sampleRate, audioBits, tolerance;
    };
    const Row rows[] = {
        {"q0 4:3", u"640x480"_s, u"4:3"_s, u"30"_s, u"2500"_s, u"48000"_s, u"160k"_s, u"625"_s},
        {"q0 16:9", u"640x360"_s, u"16:9"_s, u"30"_s, u"2500"_s, u"48000"_s, u"160k"_s, u"625"_s},
        {"q1 4:3", u"320x240"_s, u"4:3"_s, u"30"_s, u"2048"_s, u"48000"_s, u"128k"_s, u"512"_s},
        {"q1 16:9", u"320x180"_s, u"16:9"_s, u"30"_s, u"2048"_s, u"48000"_s, u"128k"_s, u"512"_s},
        {"q2 4:3", u"320x240"_s, u"4:3"_s, u"30"_s, u"1024"_s, u"44100"_s, u"128k"_s, u"256"_s},
        {"q2 16:9", u"320x180"_s, u"16:9"_s, u"30"_s, u"1024"_s, u"44100"_s, u"128k"_s, u"256"_s},
        {"q3 4:3", u"320x240"_s, u"4:3"_s, u"30"_s, u"512"_s, u"44100"_s, u"128k"_s, u"128"_s},
        {"q3 16:9", u"320x180"_s, u"16:9"_s, u"30"_s, u"512"_s, u"44100"_s, u"128k"_s, u"128"_s},
        {"q4 4:3", u"320x240"_s, u"4:3"_s, u"15"_s, u"384"_s, u"44100"_s, u"64k"_s, u"96"_s},
        {"q4 16:9", u"320x180"_s, u"16:9"_s, u"15"_s, u"384"_s, u"44100"_s, u"64k"_s, u"96"_s},
    };
    for (const Row& row : rows) {
        // Simple Profile's tools, a key frame every ten seconds, the iPods' peak rate; trellis
        // and SATD from 高画質 down.
        const bool thorough = row.name[1] >= '2';
        const QString expected =
            QStringLiteral(
                "-hide_banner -nostdin -y -i file:/in/clip.avi -vf setpts=PTS+0.25/(%4*TB),fps=%4 "
                "-c:v mpeg4 -flags +bitexact+mv4+aic -b:v %1k -bt %8k -maxrate 2500k "
                "-bufsize 655360 -g %9 -mbd rd -threads 2 %10"
                "-s %2 -aspect %3 -r %4 -c:a aac -aac_pns 0 -b:a %5 -ac 2 -ar %6 -af %7 -sn "
                "-f mp4 file:/out/clip.mp4")
                .arg(row.videoBits, row.size, row.aspect, row.rate, row.audioBits, row.sampleRate,
                     kAsync, row.tolerance, QString::number(row.rate.toInt() * 10),
                     thorough ? u"-trellis 1 -cmp satd -subcmp satd "_s : QString());
        QTest::newRow(row.name) << videoCommand(row.size, row.rate, row.videoBits + u"kb"_s,
                                                row.sampleRate, row.audioBits)
                                << expected.split(QLatin1Char(' '));
    }
}

void TestWrapperArgs::mapsEveryQualityRow()
{
    QFETCH(QStringList, legacy);
    QFETCH(QStringList, expected);
    QCOMPARE(fromArgs(mapArguments(toArgs(legacy))), expected);
}

// The same command lines with libx264: the level's limits, and the ipod variant of mp4.
void TestWrapperArgs::mapsH264Rows_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("videoBits");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("maxRate");
    QTest::addColumn<QString>("refs");

    QTest::newRow("q0 4:3, capped at 1.5 Mbit/s") << "640x480"
                                                  << "30"
                                                  << "2500kb"
                                                  << "3.0"
                                                  << "1500k"
                                                  << "1";
    QTest::newRow("q0 16:9") << "640x360"
                             << "30"
                             << "2500kb"
                             << "3.0"
                             << "1500k"
                             << "1";
    QTest::newRow("q1 4:3, capped at level 1.3") << "320x240"
                                                 << "30"
                                                 << "2048kb"
                                                 << "1.3"
                                                 << "768k"
                                                 << "4";
    QTest::newRow("q2 16:9") << "320x180"
                             << "30"
                             << "1024kb"
                             << "1.3"
                             << "768k"
                             << "4";
    QTest::newRow("q3 4:3, below the cap") << "320x240"
                                           << "30"
                                           << "512kb"
                                           << "1.3"
                                           << "512k"
                                           << "4";
    QTest::newRow("q4 16:9") << "320x180"
                             << "15"
                             << "384kb"
                             << "1.3"
                             << "384k"
                             << "4";
}

void TestWrapperArgs::mapsH264Rows()
{
    QFETCH(QString, size);
    QFETCH(QString, rate);
    QFETCH(QString, videoBits);
    QFETCH(QString, level);
    QFETCH(QString, maxRate);
    QFETCH(QString, refs);

    QStringList legacy = videoCommand(size, rate, videoBits, u"44100"_s, u"128k"_s);
    legacy[legacy.indexOf(u"mpeg4"_s)] = u"libx264"_s;
    const QStringList mapped = fromArgs(mapArguments(toArgs(legacy)));
    const auto valueOf = [&](const QString& option) {
        const qsizetype at = mapped.indexOf(option);
        return at >= 0 && at + 1 < mapped.size() ? mapped[at + 1] : QString();
    };
    QCOMPARE(valueOf(u"-c:v"_s), u"libx264"_s);
    QCOMPARE(valueOf(u"-profile:v"_s), u"baseline"_s);
    QCOMPARE(valueOf(u"-bf"_s), u"0"_s);
    QCOMPARE(valueOf(u"-level:v"_s), level);
    QCOMPARE(valueOf(u"-maxrate"_s), maxRate);
    QCOMPARE(valueOf(u"-bufsize"_s), u"2000k"_s);
    QCOMPARE(valueOf(u"-refs"_s), refs);
    QCOMPARE(valueOf(u"-s"_s), size);
    QCOMPARE(valueOf(u"-r"_s), rate);
    QCOMPARE(valueOf(u"-f"_s), u"ipod"_s);
    QVERIFY2(!mapped.contains(u"-b:v"_s), qPrintable(mapped.join(u' ')));
    QCOMPARE(mapped.last(), u"file:/out/clip.mp4"_s);
}

void TestWrapperArgs::mapsAudio()
{
    QCOMPARE(
        fromArgs(mapArguments(toArgs(kAudioCommand))),
        (QStringList{u"-hide_banner"_s, u"-nostdin"_s, u"-y"_s, u"-i"_s, u"file:/in/clip.avi"_s,
                     u"-vn"_s, u"-sn"_s, u"-c:a"_s, u"libmp3lame"_s, u"-b:a"_s, u"128k"_s, u"-ar"_s,
                     u"44100"_s, u"-f"_s, u"mp3"_s, u"file:/out/clip.mp3"_s}));
}

void TestWrapperArgs::refuses_data()
{
    QTest::addColumn<QStringList>("legacy");
    QTest::addColumn<QString>("message");

    const QStringList video =
        videoCommand(u"640x480"_s, u"30"_s, u"2500kb"_s, u"48000"_s, u"160k"_s);
    QStringList unknown = video;
    unknown.insert(1, u"-threads"_s);
    unknown.insert(2, u"4"_s);
    QTest::newRow("unknown option") << unknown << "unknown option -threads";

    // Quality outside the table: the string ends after "-async 1000".
    QTest::newRow("no output file")
        << QStringList{u"-y"_s,       u"-i"_s,      u"/in/clip.avi"_s, u"-flags"_s,
                       u"bitexact"_s, u"-vcodec"_s, u"mpeg4"_s,        u"-s"_s,
                       u"640x480"_s,  u"-async"_s,  u"1000"_s}
        << "no output file";
    QTest::newRow("missing value") << QStringList{u"-y"_s,   u"-i"_s,  u"/in/clip.avi"_s, u"-ab"_s,
                                                  u"128k"_s, u"-ar"_s, u"44100"_s,        u"-f"_s}
                                   << "-f needs a value";
    QTest::newRow("no input") << QStringList{u"-y"_s,    u"-ab"_s, u"128k"_s, u"-ar"_s,
                                             u"44100"_s, u"-f"_s,  u"mp3"_s,  u"/out/clip.mp3"_s}
                              << "no input file";
    QTest::newRow("nothing") << QStringList{} << "no input file";
    QTest::newRow("value outside the table")
        << videoCommand(u"720x480"_s, u"30"_s, u"2500kb"_s, u"48000"_s, u"160k"_s)
        << "\"720x480\" of option -s";
    QStringList otherCodec = video;
    otherCodec[otherCodec.indexOf(u"mpeg4"_s)] = u"libx265"_s;
    QTest::newRow("codec outside the table") << otherCodec << "\"libx265\" of option -vcodec";
    QTest::newRow("newer bit rate spelling")
        << videoCommand(u"640x480"_s, u"30"_s, u"2500k"_s, u"48000"_s, u"160k"_s)
        << "\"2500k\" of option -b";
    QTest::newRow("option twice") << QStringList{u"-y"_s,           u"-y"_s,           u"-i"_s,
                                                 u"/in/clip.avi"_s, u"-ab"_s,          u"128k"_s,
                                                 u"-ar"_s,          u"44100"_s,        u"-f"_s,
                                                 u"mp3"_s,          u"/out/clip.mp3"_s}
                                  << "-y is given more than once";
    QStringList noFrameSize = video;
    noFrameSize.remove(noFrameSize.indexOf(u"-s"_s), 2);
    QTest::newRow("video option missing") << noFrameSize << "option -s is missing";
    QStringList audioWithVideo = kAudioCommand;
    audioWithVideo.insert(1, u"-s"_s);
    audioWithVideo.insert(2, u"320x240"_s);
    QTest::newRow("video option on mp3") << audioWithVideo << "-s does not apply";
    QStringList audioWithSubtitles = kAudioCommand;
    audioWithSubtitles.insert(1, u"-subtitles"_s);
    audioWithSubtitles.insert(2, u"jpn"_s);
    QTest::newRow("subtitles on mp3") << audioWithSubtitles << "-subtitles does not apply";
    QStringList otherLanguage = video;
    otherLanguage.insert(1, u"-subtitles"_s);
    otherLanguage.insert(2, u"eng"_s);
    QTest::newRow("subtitles in another language")
        << otherLanguage << "\"eng\" of option -subtitles";
    QStringList twoOutputs = kAudioCommand;
    twoOutputs.insert(1, u"/out/other.mp3"_s);
    QTest::newRow("stray argument") << twoOutputs << "unexpected argument \"/out/other.mp3\"";
    QStringList emptyOutput = kAudioCommand;
    emptyOutput.last().clear();
    QTest::newRow("empty output") << emptyOutput << "output file name is empty";
    QStringList emptyInput = kAudioCommand;
    emptyInput[2].clear();
    QTest::newRow("empty input") << emptyInput << "input file name is empty";
}

void TestWrapperArgs::refuses()
{
    QFETCH(QStringList, legacy);
    QFETCH(QString, message);
    try {
        const QStringList mapped = fromArgs(mapArguments(toArgs(legacy)));
        QFAIL(qPrintable(u"accepted, mapped to: "_s + mapped.join(QLatin1Char(' '))));
    } catch (const ArgumentError& error) {
        QVERIFY2(QString::fromUtf8(error.what()).contains(message), error.what());
    }
}

QTEST_GUILESS_MAIN(TestWrapperArgs)
#include "tst_wrapperargs.moc"
