#include "platform/CommandLine.h"
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
