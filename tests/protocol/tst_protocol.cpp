#include "platform/CommandLine.h"
#include "protocol/MediaIdentity.h"
#include "protocol/WrapperCommand.h"

#include <QTest>

using tovilo::ArgumentError;
using tovilo::VideoCodec;
using tovilo::WrapperRequest;

Q_DECLARE_METATYPE(WrapperRequest)

namespace {

// The line as the wrapper's argv after the program's command-line split.
std::vector<std::string> split(const QByteArray& line)
{
    std::vector<std::string> args;
    for (const QByteArray& arg : tovilo::splitCommandLine(line))
        args.push_back(arg.toStdString());
    return args;
}

WrapperRequest request(int quality, bool wide, VideoCodec codec = VideoCodec::Mpeg4,
                       bool subtitles = false)
{
    WrapperRequest r;
    r.source = "/Videos/my clip.avi";
    r.output = "/Out/my clip.mp4";
    r.quality = quality;
    r.wide = wide;
    r.codec = codec;
    r.burnSubtitles = subtitles;
    return r;
}

WrapperRequest audio()
{
    WrapperRequest r;
    r.source = "/Videos/my clip.avi";
    r.output = "/Out/my clip.mp3";
    r.audioOnly = true;
    return r;
}

const QByteArray kAudioLine = " -y -i \"/Videos/my clip.avi\" -ab 128k -ar 44100 -f mp3 "
                              "\"/Out/my clip.mp3\"";

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every line the program writes, byte for byte, and what the wrapper reads back from it.
    void lines_data()
    {
        QTest::addColumn<WrapperRequest>("request");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray head = " -y -i \"/Videos/my clip.avi\" -flags bitexact -vcodec mpeg4 ";
        const QByteArray out = "\"/Out/my clip.mp4\"";
        const char* sizes[5][2] = {{"640x480", "640x360"},
                                   {"320x240", "320x180"},
                                   {"320x240", "320x180"},
                                   {"320x240", "320x180"},
                                   {"320x240", "320x180"}};
        const char* pieces[5] = {
            " -r 30 -acodec libfaac -b 2500kb -ac 2 -ar 48000 -ab 160k -f mp4 -vlevel 30 ",
            " -r 30 -acodec libfaac -b 2048kb -ac 2 -ar 48000 -ab 128k -f mp4 -vlevel 30 ",
            " -r 30 -acodec libfaac -b 1024kb -ac 2 -ar 44100 -ab 128k -f mp4 -vlevel 30 ",
            " -r 30 -acodec libfaac -b 512kb -ac 2 -ar 44100 -ab 128k -f mp4 -vlevel 30 ",
            " -r 15 -acodec libfaac -b 384kb -ac 2 -ar 44100 -ab 64k -f mp4 -vlevel 30 ",
        };
        for (int q = 0; q < 5; ++q) {
            for (int r = 0; r < 2; ++r) {
                QTest::addRow("quality %d ratio %d", q, r)
                    << request(q, r == 1)
                    << head + "-s " + sizes[q][r] + "  -async 1000 " + pieces[q] + out;
            }
        }
        // A hand-edited quality names no output file at all.
        QTest::newRow("quality 7") << request(7, false) << head + "-s 320x240  -async 1000 ";
        // H.264 names another encoder and changes nothing else; subtitles add one option just
        // before the output.
        const QByteArray h264 = QByteArray(head).replace("mpeg4", "libx264");
        QTest::newRow("H.264") << request(4, true, VideoCodec::H264)
                               << h264 + "-s 320x180  -async 1000 " + pieces[4] + out;
        QTest::newRow("H.264, subtitles")
            << request(4, true, VideoCodec::H264, true)
            << h264 + "-s 320x180  -async 1000 " + pieces[4] + "-subtitles jpn " + out;
        QTest::newRow("audio") << audio() << kAudioLine;
    }

    void lines()
    {
        QFETCH(WrapperRequest, request);
        QFETCH(QByteArray, expected);
        const QByteArray line = QByteArray::fromStdString(tovilo::wrapperArguments(request));
        QCOMPARE(line, expected);
        if (!tovilo::qualityRow(request.quality)) {
            QVERIFY_THROWS_EXCEPTION(ArgumentError, tovilo::parseWrapperArguments(split(line)));
            return;
        }
        QVERIFY(tovilo::parseWrapperArguments(split(line)) == request);
    }

    // What a file is from its name alone, in the styles people's files come in. Neighbours are
    // other names in the same folder, separated by '|'.
    void namingStyles()
    {
        struct Row
        {
            const char* name;
            const char* neighbours;
            char kind; // E episode, F film, M music (converted to MP3)
            const char* show;
            int season;
            int episode;
            const char* title; // the episode's own, the film's or the song's
            const char* date;
        };
        // clang-format off
        const Row rows[] = {
            {"Breaking.Bad.S01E02.720p.HDTV.x264-CTU.mkv", "", 'E', "Breaking Bad", 1, 2, "", ""},
            {"the.office.us.s03e10.webrip.x264.mkv", "", 'E', "the office us", 3, 10, "", ""},
            {"Doctor Who (2005) - S01E02 - The End of the World.avi", "", 'E', "Doctor Who", 1, 2, "The End of the World", ""},
            {"Show Name - 1x02 - Pilot.avi", "", 'E', "Show Name", 1, 2, "Pilot", ""},
            {"Friends.S05E14E15.The.One.With.Two.Parts.DVDRip.XviD.avi", "", 'E', "Friends", 5, 14, "The One With Two Parts", ""},
            {"Sherlock S02E01 A Scandal in Belgravia.mp4", "", 'E', "Sherlock", 2, 1, "A Scandal in Belgravia", ""},
            {"Top Gear Season 12 Episode 3.mp4", "", 'E', "Top Gear", 12, 3, "", ""},
            {"Planet Earth Ep02 Mountains.mkv", "", 'E', "Planet Earth", 1, 2, "Mountains", ""},
            {"Cosmos EP.5.mkv", "", 'E', "Cosmos", 1, 5, "", ""},
            {"Nature Episode 4.mp4", "", 'E', "Nature", 1, 4, "", ""},
            {"MythBusters E07.avi", "", 'E', "MythBusters", 1, 7, "", ""},
            {"lost_s2e5.avi", "", 'E', "lost", 2, 5, "", ""},
            {"[SubsPlease] Sousou no Frieren - 02 (1080p) [ABCD1234].mkv", "", 'E', "Sousou no Frieren", 1, 2, "", ""},
            {"[Erai-raws] Spy x Family - 12v2 [1080p][Multiple Subtitle].mkv", "", 'E', "Spy x Family", 1, 12, "", ""},
            {"[Group][Kimetsu no Yaiba][05][BIG5][1080P].mp4", "", 'E', "Kimetsu no Yaiba", 1, 5, "", ""},
            {"[Group] One Piece - 1071 [720p].mkv", "", 'E', "One Piece", 1, 1071, "", ""},
            {"[Group] Show [03] [x265].mkv", "", 'E', "Show", 1, 3, "", ""},
            {"Show Name #02「タイトル」.mp4", "", 'E', "Show Name", 1, 2, "タイトル", ""},
            {"ぼっち・ざ・ろっく！ ＃２.mkv", "", 'E', "ぼっち・ざ・ろっく!", 1, 2, "", ""},
            {"[Group] 葬送のフリーレン 第12話 「本物の勇者」 [1080p].mkv", "", 'E', "葬送のフリーレン", 1, 12, "本物の勇者", ""},
            {"Mushishi ♯3.mp4", "", 'E', "Mushishi", 1, 3, "", ""},
            {"20241005_2300_番組名 第3話「サブタイトル」[字].ts", "", 'E', "番組名", 1, 3, "サブタイトル", "2024-10-05"},
            {"ドラマ名 第十二話「最終回」【字】【終】.m2ts", "", 'E', "ドラマ名", 1, 12, "最終回", ""},
            {"ドラマ名　第二話.ts", "", 'E', "ドラマ名", 1, 2, "", ""},
            {"アニメ 第二十三話「決戦」.mp4", "", 'E', "アニメ", 1, 23, "決戦", ""},
            {"番組名 第０２話.mp4", "", 'E', "番組名", 1, 2, "", ""},
            {"[新]番組名 #1「始まり」[字][デ].ts", "", 'E', "番組名", 1, 1, "始まり", ""},
            {"20230415_0130_アニメ「タイトル」第4話.ts", "", 'E', "アニメ", 1, 4, "タイトル", "2023-04-15"},
            {"🈑番組名 ＃７ 最後の日.ts", "", 'E', "番組名", 1, 7, "最後の日", ""},
            {"ＳＨＯＷ　Ｓ０２Ｅ０３.mp4", "", 'E', "SHOW", 2, 3, "", ""},
            {"Show 02.mp4", "Show 01.mp4|Show 03.mp4|notes.txt", 'E', "Show", 1, 2, "", ""},
            {"Lecture 10 720p.mp4", "Lecture 09 720p.mp4", 'E', "Lecture", 1, 10, "", ""},
            {"Show 02.mp4", "", 'F', "", 0, 0, "Show 02", ""},
            {"Concert Part 2.mp4", "Concert Part 1.mp4", 'F', "", 0, 0, "Concert Part 2", ""},
            {"Course Vol.3.mp4", "Course Vol.2.mp4", 'F', "", 0, 0, "Course Vol.3", ""},
            {"Concert CD1.avi", "", 'F', "", 0, 0, "Concert CD1", ""},
            {"C# 101 Lesson.mp4", "", 'F', "", 0, 0, "C# 101 Lesson", ""},
            {"2001 A Space Odyssey (1968).mkv", "", 'F', "", 0, 0, "2001 A Space Odyssey", "1968"},
            {"The.Matrix.1999.1080p.BluRay.x264.mkv", "", 'F', "", 0, 0, "The Matrix", "1999"},
            {"Blade Runner 2049.mp4", "", 'F', "", 0, 0, "Blade Runner 2049", ""},
            {"Movie 5.1 x264.mkv", "", 'F', "", 0, 0, "Movie", ""},
            {"Movie h265 720p.mp4", "", 'F', "", 0, 0, "Movie", ""},
            {"Movie 1920x1080.mp4", "", 'F', "", 0, 0, "Movie 1920x1080", ""},
            {"1968.mkv", "", 'F', "", 0, 0, "1968", ""},
            {"千と千尋の神隠し.mp4", "", 'F', "", 0, 0, "千と千尋の神隠し", ""},
            {"映画 (2001) [字].mp4", "", 'F', "", 0, 0, "映画", "2001"},
            {"Film (Director's Cut) (1)(2).avi", "", 'F', "", 0, 0, "Film (Director's Cut)", ""},
            {"IMG_1234.MOV", "IMG_1235.MOV|IMG_1236.MOV", 'F', "", 0, 0, "IMG_1234", ""},
            {"MVI_0042.AVI", "", 'F', "", 0, 0, "MVI_0042", ""},
            {"VID_20240105_123456.mp4", "", 'F', "", 0, 0, "VID_20240105_123456", ""},
            {"PXL_20231224_101010123.mp4", "", 'F', "", 0, 0, "PXL_20231224_101010123", ""},
            {"20240101_123456.mp4", "20240101_130000.mp4", 'F', "", 0, 0, "20240101_123456", ""},
            {"DSC01234.MP4", "", 'F', "", 0, 0, "DSC01234", ""},
            {"00001.MTS", "00002.MTS", 'F', "", 0, 0, "00001", ""},
            {"01 - Song Title.avi", "", 'M', "", 0, 0, "01 - Song Title", ""},
        };
        // clang-format on
        QCOMPARE_GE(std::size(rows), 40u);
        using tovilo::MediaIdentity;
        const auto describe = [](char kind, const std::string& show, int season, int episode,
                                 const std::string& title, const std::string& date) {
            return std::string(1, kind) + " [" + show + "] S" + std::to_string(season) + "E" +
                   std::to_string(episode) + " [" + title + "] " + date;
        };
        QStringList wrong;
        for (const Row& row : rows) {
            std::vector<std::string> neighbours;
            for (const QString& name :
                 QString::fromUtf8(row.neighbours).split(u'|', Qt::SkipEmptyParts))
                neighbours.push_back(name.toStdString());
            const MediaIdentity found = tovilo::identify({}, row.name, neighbours, row.kind == 'M');
            const char kind = found.kind == MediaIdentity::Kind::Episode ? 'E'
                              : found.kind == MediaIdentity::Kind::Music ? 'M'
                                                                         : 'F';
            const std::string seen =
                describe(kind, found.show, found.season, found.episode, found.title, found.date);
            const std::string expected =
                describe(row.kind, row.show, row.season, row.episode, row.title, row.date);
            if (seen != expected)
                wrong << QString::fromStdString(row.name + (": " + seen) + ", not " + expected);
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));
    }

    // A source's chapters as the converted file holds them: "start-end:title;...", in seconds.
    void chaptersAfterACut_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<double>("offset");
        QTest::addColumn<QString>("kept");
        QTest::newRow("uncut, unnamed") << "0-10;10-20:Act" << 0.0 << "0-10:チャプター 1;10-20:Act";
        QTest::newRow("cut inside the second")
            << "0-10;10-20:Act;20-30" << 12.0 << "0-8:Act;8-18:チャプター 3";
        QTest::newRow("cut on a boundary") << "0-10:A;10-20:B" << 10.0 << "0-10:B";
        QTest::newRow("out of order, no ends")
            << "20-0:B;0-0:A;10-0" << 5.0 << "0-5:A;5-15:チャプター 2;15-15:B";
    }

    void chaptersAfterACut()
    {
        QFETCH(QString, source);
        QFETCH(double, offset);
        QFETCH(QString, kept);
        std::vector<tovilo::MediaChapter> chapters;
        for (const QString& text : source.split(u';')) {
            const QStringList parts = text.section(u':', 0, 0).split(u'-');
            chapters.push_back(
                {parts[0].toDouble(), parts[1].toDouble(), text.section(u':', 1).toStdString()});
        }
        QStringList result;
        for (const tovilo::MediaChapter& c : tovilo::chaptersFrom(chapters, offset))
            result << QStringLiteral("%1-%2:%3")
                          .arg(c.start)
                          .arg(c.end)
                          .arg(QString::fromStdString(c.title));
        QCOMPARE(result.join(u';'), kept);
    }

    void hostilePathsComeBack_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("quote") << QByteArray("/v/say \"hi\".avi");
        QTest::newRow("trailing backslash") << QByteArray("/v/odd\\");
        QTest::newRow("leading dash") << QByteArray("-i.avi");
        QTest::newRow("shell") << QByteArray("/v/$(touch x) `id`.avi");
        QTest::newRow("japanese") << QStringLiteral("/ビデオ/表 ソ.avi").toUtf8();
        QTest::newRow("newline") << QByteArray("/v/a\nb.avi");
    }

    void hostilePathsComeBack()
    {
        QFETCH(QByteArray, path);
        for (WrapperRequest sent : {request(0, false), audio()}) {
            sent.source = path.toStdString();
            sent.output = path.toStdString() + ".out";
            QVERIFY(tovilo::parseWrapperArguments(
                        split(QByteArray::fromStdString(tovilo::wrapperArguments(sent)))) == sent);
        }
    }

    // Lines the program never writes.
    void refuses_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("message");

        const QByteArray video =
            QByteArray::fromStdString(tovilo::wrapperArguments(request(0, false)));
        const auto with = [&](QByteArray line, const char* from, const char* to) {
            return line.replace(from, to);
        };
        QTest::newRow("unknown option")
            << with(video, "-y", "-y -threads 4") << "unknown option -threads";
        QTest::newRow("no output file")
            << QByteArray::fromStdString(tovilo::wrapperArguments(request(7, false)))
            << "no output file";
        QTest::newRow("missing value")
            << QByteArray("-y -i /in.avi -ab 128k -ar 44100 -f") << "-f needs a value";
        QTest::newRow("no input") << QByteArray("-y -ab 128k -ar 44100 -f mp3 /out.mp3")
                                  << "no input file";
        QTest::newRow("nothing") << QByteArray() << "no input file";
        QTest::newRow("value outside the table")
            << with(video, "640x480", "720x480") << "\"720x480\" of option -s";
        QTest::newRow("codec outside the table")
            << with(video, "mpeg4", "libx265") << "\"libx265\" of option -vcodec";
        QTest::newRow("newer bit rate spelling")
            << with(video, "2500kb", "2500k") << "\"2500k\" of option -b";
        QTest::newRow("option twice")
            << with(kAudioLine, "-y", "-y -y") << "-y is given more than once";
        QTest::newRow("video option missing")
            << with(video, "-s 640x480", "") << "option -s is missing";
        QTest::newRow("video option on mp3")
            << with(kAudioLine, "-y", "-y -s 320x240") << "-s does not apply";
        QTest::newRow("subtitles on mp3")
            << with(kAudioLine, "-y", "-y -subtitles jpn") << "-subtitles does not apply";
        QTest::newRow("subtitles in another language")
            << with(video, "-y", "-y -subtitles eng") << "\"eng\" of option -subtitles";
        QTest::newRow("stray argument") << with(kAudioLine, "-y", "-y /out/other.mp3")
                                        << "unexpected argument \"/out/other.mp3\"";
        QTest::newRow("empty output")
            << with(kAudioLine, "\"/Out/my clip.mp3\"", "\"\"") << "output file name is empty";
        QTest::newRow("empty input")
            << with(kAudioLine, "\"/Videos/my clip.avi\"", "\"\"") << "input file name is empty";
        // Each value is the table's, but not all of one row's.
        QTest::newRow("frame of another row")
            << with(video, "640x480", "320x240")
            << "\"320x240\" of option -s does not go with -b 2500kb";
        QTest::newRow("sample rate of another row")
            << with(video, "48000", "44100")
            << "\"44100\" of option -ar does not go with -b 2500kb";
        QTest::newRow("mp3 at a row's rate")
            << with(kAudioLine, "128k", "160k") << "\"160k\" of option -ab does not go with mp3";
    }

    void refuses()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, message);
        try {
            tovilo::parseWrapperArguments(split(line));
            QFAIL("accepted");
        } catch (const ArgumentError& error) {
            QVERIFY2(QString::fromUtf8(error.what()).contains(message), error.what());
        }
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
