#include "encoder/plan/DvdChapters.h"
#include "encoder/plan/PipelineArgs.h"
#include "encoder/plan/WrapperArgs.h"

#include <QStringList>
#include <QTest>

using namespace Qt::StringLiterals;

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

// A video conversion of /in/clip.avi (or `source`) to /out/clip.mp4.
tovilo::WrapperRequest videoRequest(int quality, bool wide = false,
                                    tovilo::VideoCodec codec = tovilo::VideoCodec::Mpeg4,
                                    const std::string& source = "/in/clip.avi")
{
    tovilo::WrapperRequest request;
    request.source = source;
    request.output = "/out/clip.mp4";
    request.quality = quality;
    request.wide = wide;
    request.codec = codec;
    return request;
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
    void spendsTrellisWhereTheEncoderWaits_data();
    void spendsTrellisWhereTheEncoderWaits();
    void splitsIntoTwoRuns_data();
    void splitsIntoTwoRuns();
    void dvdChaptersOfAPart_data();
    void dvdChaptersOfAPart();
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
        // at 15 fps.
        const bool thorough = row.name[1] == '4';
        const QString expected =
            QStringLiteral(
                "-hide_banner -nostdin -y -i file:/in/clip.avi -vf setpts=PTS+0.25/(%4*TB),fps=%4 "
                "-c:v mpeg4 -flags +bitexact+mv4+aic -b:v %1k -bt %8k -maxrate 2500k "
                "-bufsize 655360 -g %9 -mbd rd -threads 2 %10"
                "-s %2 -aspect %3 -r %4 -c:a aac -aac_pns 0 -b:a %5 -ac 2 -ar %6 -af %7 -sn "
                "-f mp4 file:/out/clip.mp4")
                .arg(row.videoBits, row.size, row.aspect, row.rate, row.audioBits, row.sampleRate,
                     kAsync, row.tolerance, QString::number(row.rate.toInt() * 10),
                     thorough ? u"-trellis 1 "_s : QString());
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

// The same rows with libx264: the level's limits, and the ipod variant of mp4.
void TestWrapperArgs::mapsH264Rows_data()
{
    QTest::addColumn<int>("quality");
    QTest::addColumn<bool>("wide");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("maxRate");
    QTest::addColumn<QString>("refs");

    QTest::newRow("q0 4:3, capped at 1.5 Mbit/s") << 0 << false << "640x480"
                                                  << "30"
                                                  << "3.0"
                                                  << "1500k"
                                                  << "1";
    QTest::newRow("q0 16:9") << 0 << true << "640x360"
                             << "30"
                             << "3.0"
                             << "1500k"
                             << "1";
    QTest::newRow("q1 4:3, capped at level 1.3") << 1 << false << "320x240"
                                                 << "30"
                                                 << "1.3"
                                                 << "768k"
                                                 << "4";
    QTest::newRow("q2 16:9") << 2 << true << "320x180"
                             << "30"
                             << "1.3"
                             << "768k"
                             << "4";
    QTest::newRow("q3 4:3, below the cap") << 3 << false << "320x240"
                                           << "30"
                                           << "1.3"
                                           << "512k"
                                           << "4";
    QTest::newRow("q4 16:9") << 4 << true << "320x180"
                             << "15"
                             << "1.3"
                             << "384k"
                             << "4";
}

void TestWrapperArgs::mapsH264Rows()
{
    QFETCH(int, quality);
    QFETCH(bool, wide);
    QFETCH(QString, size);
    QFETCH(QString, rate);
    QFETCH(QString, level);
    QFETCH(QString, maxRate);
    QFETCH(QString, refs);

    const QStringList mapped =
        fromArgs(mapArguments(videoRequest(quality, wide, tovilo::VideoCodec::H264)));
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
    QCOMPARE(valueOf(u"-g"_s), QString::number(rate.toInt() * 10)); // ten seconds
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

// Trellis where the encoder would wait anyway: behind decoding a picture larger than a DVD's,
// or at 15 fps; never at 640x480.
void TestWrapperArgs::spendsTrellisWhereTheEncoderWaits_data()
{
    QTest::addColumn<int>("quality");
    QTest::addColumn<int>("sourcePixels");
    QTest::addColumn<bool>("trellis");
    QTest::newRow("q3, PAL") << 3 << 720 * 576 << false;
    QTest::newRow("q3, 1280x720") << 3 << 1280 * 720 << true;
    QTest::newRow("q1, 1920x1080") << 1 << 1920 * 1080 << true;
    QTest::newRow("q4, a DVD") << 4 << 720 * 480 << true;
    QTest::newRow("q0, 1920x1080") << 0 << 1920 * 1080 << false;
}

void TestWrapperArgs::spendsTrellisWhereTheEncoderWaits()
{
    QFETCH(int, quality);
    QFETCH(int, sourcePixels);
    QFETCH(bool, trellis);
    tovilo::MapOptions options;
    options.sourcePixels = sourcePixels;
    QCOMPARE(fromArgs(mapArguments(videoRequest(quality), options)).contains(u"-trellis"_s),
             trellis);
}

// The two runs of a video conversion share out the one run's arguments: the picture is made
// to its size and rate before the pipe, the encoders' options all come after it.
void TestWrapperArgs::splitsIntoTwoRuns_data()
{
    QTest::addColumn<int>("quality");
    QTest::addColumn<bool>("wide");
    QTest::addColumn<int>("codec");
    QTest::addColumn<bool>("graph");        // picture subtitles: a graph with its own inputs
    QTest::addColumn<QString>("source");    // a .VRO needs its demuxer named
    QTest::addColumn<QStringList>("early"); // options only the decoding side has
    QTest::addColumn<QStringList>("late");  // ... only the encoding side

    QTest::newRow("MPEG-4 q3") << 3 << false << 0 << false << "/in/clip.avi"
                               << QStringList{u"-vf"_s, u"-s"_s, u"-ar"_s, u"-af"_s}
                               << QStringList{u"-b:v"_s,    u"-g"_s, u"-mbd"_s,
                                              u"-aspect"_s, u"-r"_s, u"-b:a"_s};
    QTest::newRow("H.264 q0 16:9")
        << 0 << true << 1 << false << "/in/clip.mkv" << QStringList{u"-vf"_s, u"-s"_s}
        << QStringList{u"-crf"_s, u"-level:v"_s, u"-bf"_s, u"-g"_s};
    QTest::newRow("picture subtitles, a recording")
        << 4 << false << 0 << true << "/in/VR_MOVIE.VRO"
        << QStringList{u"-filter_complex"_s, u"-map"_s, u"-ss"_s, u"-noautorotate"_s}
        << QStringList{u"-b:v"_s, u"-r"_s};
}

void TestWrapperArgs::splitsIntoTwoRuns()
{
    QFETCH(int, quality);
    QFETCH(bool, wide);
    QFETCH(int, codec);
    QFETCH(bool, graph);
    QFETCH(QString, source);
    QFETCH(QStringList, early);
    QFETCH(QStringList, late);

    const tovilo::WrapperRequest request = videoRequest(
        quality, wide, codec == 1 ? tovilo::VideoCodec::H264 : tovilo::VideoCodec::Mpeg4,
        source.toStdString());
    tovilo::MapOptions options;
    options.videoFilter = graph
                              ? u"[0:0]null[picture];[0:3]scale=320:240[subtitles]"_s.toStdString()
                              : u"scale=320:180"_s.toStdString();
    options.filterGraph = graph;
    options.streams = {"0:1"};
    options.start = graph ? "0.5" : "";
    options.noAutoRotate = graph;
    // The chapters are the decoding side's to read; what the file is, the encoding side's.
    options.replaceChapters = true;
    options.chaptersFile = graph ? "" : "/proc/self/fd/9";
    options.tags = {{"title", "Clip"}};
    early << u"-map_chapters"_s;
    late << u"-metadata"_s;
    const std::vector<std::string> oneRun = mapArguments(request, options);
    const tovilo::PipelineArguments runs =
        tovilo::pipelineArguments(oneRun, {"-color_primaries", "bt709"});
    const QStringList decode = fromArgs(runs.decode);
    const QStringList encode = fromArgs(runs.encode);

    QCOMPARE(decode.mid(decode.indexOf(u"-i"_s), 2), (QStringList{u"-i"_s, u"file:"_s + source}));
    QCOMPARE(decode.mid(decode.size() - 3), (QStringList{u"-f"_s, u"nut"_s, u"pipe:1"_s}));
    QCOMPARE(decode.at(decode.indexOf(u"-sws_flags"_s) + 1), u"lanczos"_s);
    QCOMPARE(encode.mid(encode.indexOf(u"-i"_s) - 2, 4),
             (QStringList{u"-f"_s, u"nut"_s, u"-i"_s, u"pipe:0"_s}));
    QCOMPARE(encode.last(), u"file:/out/clip.mp4"_s);
    QCOMPARE(encode.at(encode.size() - 2), u"bt709"_s);
    for (const QString& option : early) {
        QVERIFY2(decode.contains(option), qPrintable(option));
        QVERIFY2(!encode.contains(option), qPrintable(option));
    }
    for (const QString& option : late) {
        QVERIFY2(encode.contains(option), qPrintable(option));
        QVERIFY2(!decode.contains(option), qPrintable(option));
    }
    // Nothing of the one run is lost or doubled: what both sides have in all is the one run,
    // the options both need (the channels, no subtitles, overwriting) and the pipe's own.
    QStringList expected = fromArgs(oneRun);
    expected << u"-ac"_s << u"2"_s << u"-sn"_s << u"-y"_s << u"-nostats"_s << u"-sws_flags"_s
             << u"lanczos"_s << u"-pix_fmt"_s << u"yuv420p"_s << u"-c:v"_s << u"rawvideo"_s
             << u"-c:a"_s << u"pcm_f32le"_s << u"-f"_s << u"nut"_s << u"pipe:1"_s
             << u"-hide_banner"_s << u"-nostdin"_s << u"-v"_s << u"warning"_s << u"-stats"_s
             << u"-guess_layout_max"_s << u"0"_s << u"-f"_s << u"nut"_s << u"-i"_s << u"pipe:0"_s
             << u"-color_primaries"_s << u"bt709"_s;
    QStringList actual = decode + encode;
    expected.sort();
    actual.sort();
    QCOMPARE(actual, expected);
}

// A title of three ten-second cells of a thousand sectors, a chapter on each, cut into VOB files
// at the given sectors: each file's chapters in its own times ("number@start-end").
void TestWrapperArgs::dvdChaptersOfAPart_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("chapters");
    QTest::newRow("the whole title") << 0 << 3000 << u"1@0-10 2@10-20 3@20-30"_s;
    QTest::newRow("a file ending inside a chapter") << 0 << 1500 << u"1@0-10 2@10-15"_s;
    QTest::newRow("a file starting inside a chapter") << 1500 << 3000 << u"2@0-5 3@5-15"_s;
}

void TestWrapperArgs::dvdChaptersOfAPart()
{
    QFETCH(int, first);
    QFETCH(int, end);
    QFETCH(QString, chapters);
    const std::vector<tovilo::DvdCell> cells = {{10, 0, 999}, {10, 1000, 1999}, {10, 2000, 2999}};
    QStringList found;
    for (const tovilo::MediaChapter& c :
         tovilo::chaptersInPart(cells, {{1, 0}, {2, 1}, {3, 2}}, first, end))
        found << QString::fromStdString(c.title).section(u' ', -1) + u'@' +
                     QString::number(c.start) + u'-' + QString::number(c.end);
    QCOMPARE(found.join(u' '), chapters);
}

QTEST_GUILESS_MAIN(TestWrapperArgs)
#include "tst_wrapperargs.moc"
