// From ffprobe's description of a source to the filters, streams and start the wrapper gives
// ffmpeg.

#include "encoder/plan/PictureFilter.h"
#include "encoder/plan/SourceProbe.h"

#include <QSize>
#include <QStringList>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// "<prefix>.k=v" lines from "k=v k=v"; string values as ffprobe quotes them.
QString lines(const QString& prefix, const QString& fields)
{
    QString text;
    QStringList keys;
    for (const QString& field : fields.split(u' ', Qt::SkipEmptyParts)) {
        const qsizetype equals = field.indexOf(u'=');
        if (keys.contains(field.left(equals)))
            continue; // the first of a key stands, as an override
        keys << field.left(equals);
        const QString value = field.mid(equals + 1);
        bool number = false;
        value.toDouble(&number);
        text += prefix + u"."_s + field.left(equals) + u"="_s +
                (number ? value : u"\""_s + value + u"\""_s) + u"\n"_s;
    }
    return text;
}

QString video(int n, const QString& size, const QString& more = {})
{
    const QStringList wh = size.split(u'x');
    const QString fields = u"index=%1 codec_type=video width=%2 height=%3 pix_fmt=yuv420p "
                           u"sample_aspect_ratio=1:1"_s.arg(n)
                               .arg(wh[0], wh[1]);
    return lines(u"streams.stream.%1"_s.arg(n), more + u" "_s + fields);
}

QString audio(int n)
{
    return lines(u"streams.stream.%1"_s.arg(n), u"index=%1 codec_type=audio"_s.arg(n));
}

QString frame(int n, int stream, const QString& more)
{
    return lines(u"frames.frame.%1"_s.arg(n), u"stream_index=%1 "_s.arg(stream) + more);
}

const QString kBars = u"setsar=1,pad=%1:%2:%3:%4:black"_s;
const QString kToneMap =
    u"zscale=tin=%1:pin=bt2020:min=bt2020nc:t=linear:p=bt2020:npl=100,format=gbrpf32le,"
    u"zscale=p=bt709,tonemap=hable:desat=0,zscale=t=bt709:m=bt709:r=tv,format=yuv420p"_s;

} // namespace

class TestPictureFilter : public QObject
{
    Q_OBJECT

private slots:
    void describesTheSource_data();
    void describesTheSource();
};

void TestPictureFilter::describesTheSource_data()
{
    QTest::addColumn<QString>("probe");   // ffprobe's flat output
    QTest::addColumn<QSize>("frame");     // from -s
    QTest::addColumn<QString>("filter");  // expected -vf, "-" for an unknown source
    QTest::addColumn<QString>("streams"); // expected "video,audio" map, -1 for ffmpeg's choice
    QTest::addColumn<double>("skipTo");

    const QSize sd(320, 240);
    const QSize wide(320, 180);
    QTest::newRow("4:3 into 4:3: ffmpeg's scaling is enough")
        << video(0, u"640x480"_s) + audio(1) << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("portrait phone clip between bars")
        << video(0, u"1080x1920"_s) + audio(1) << sd
        << u"scale=136:240,"_s + kBars.arg(320).arg(240).arg(92).arg(0) << "-1,-1" << 0.0;
    QTest::newRow("stored landscape, turned by its display matrix")
        << audio(0) + video(1, u"1920x1080"_s, u"side_data_list.side_data.0.rotation=-90"_s) << sd
        << u"scale=136:240,"_s + kBars.arg(320).arg(240).arg(92).arg(0) << "-1,-1" << 0.0;
    QTest::newRow("upside down keeps its shape")
        << video(0, u"640x480"_s, u"side_data_list.side_data.0.rotation=180"_s) << sd << ""
        << "-1,-1" << 0.0;
    // Another angle: picture and shape take the same nearest quarter turn, turned here.
    QTest::newRow("45 degrees turns a quarter")
        << video(0, u"1920x1080"_s, u"side_data_list.side_data.0.rotation=45"_s) << sd
        << u"transpose=cclock,scale=136:240,"_s + kBars.arg(320).arg(240).arg(92).arg(0) << "-1,-1"
        << 0.0;
    QTest::newRow("30 degrees stays upright")
        << video(0, u"640x480"_s, u"side_data_list.side_data.0.rotation=30"_s) << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("16:9 DVD into 4:3, letterboxed")
        << video(0, u"720x480"_s, u"sample_aspect_ratio=32:27"_s) + audio(1) << sd
        << u"scale=320:180,"_s + kBars.arg(320).arg(240).arg(0).arg(30) << "-1,-1" << 0.0;
    QTest::newRow("4:3 DVD fills 4:3")
        << video(0, u"720x480"_s, u"sample_aspect_ratio=8:9"_s) << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("4:3 into 16:9, pillarboxed")
        << video(0, u"640x480"_s) << wide
        << u"scale=240:180,"_s + kBars.arg(320).arg(180).arg(40).arg(0) << "-1,-1" << 0.0;
    QTest::newRow("1440x1080 broadcast is 16:9")
        << video(0, u"1440x1080"_s, u"sample_aspect_ratio=4:3"_s) << wide << ""
        << "-1,-1" << 0.0;
    QTest::newRow("1.85:1 is within 5 % of 16:9 and fills")
        << video(0, u"1998x1080"_s) << wide << ""
        << "-1,-1" << 0.0;
    QTest::newRow("5 % wider than 4:3 fills") << video(0, u"336x240"_s) << sd << ""
                                              << "-1,-1" << 0.0;
    QTest::newRow("6 % wider has bars, even sizes")
        << video(0, u"424x300"_s) << sd
        << u"scale=320:226,"_s + kBars.arg(320).arg(240).arg(0).arg(6) << "-1,-1" << 0.0;
    QTest::newRow("square into 16:9, even offsets")
        << video(0, u"500x500"_s) << QSize(640, 360)
        << u"scale=360:360,"_s + kBars.arg(640).arg(360).arg(140).arg(0) << "-1,-1" << 0.0;
    QTest::newRow("1.9:1 is not") << video(0, u"1900x1000"_s) << wide
                                  << u"scale=320:168,"_s + kBars.arg(320).arg(180).arg(0).arg(6)
                                  << "-1,-1" << 0.0;
    QTest::newRow("unknown sample aspect is square")
        << video(0, u"640x480"_s, u"sample_aspect_ratio=0:1"_s) << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("interlaced frames")
        << video(0, u"720x576"_s, u"sample_aspect_ratio=16:15"_s) +
               frame(0, 0, u"interlaced_frame=0"_s) + frame(1, 0, u"interlaced_frame=1"_s)
        << sd << "yadif=mode=send_frame:parity=auto:deint=interlaced"
        << "-1,-1" << 0.0;
    QTest::newRow("interlaced by the stream's field order")
        << video(0, u"640x480"_s, u"field_order=tt"_s) << sd
        << "yadif=mode=send_frame:parity=auto:deint=interlaced"
        << "-1,-1" << 0.0;
    QTest::newRow("10-bit HEVC becomes 8-bit 4:2:0")
        << video(0, u"640x480"_s, u"pix_fmt=yuv420p10le color_transfer=bt709"_s) << sd
        << "format=yuv420p"
        << "-1,-1" << 0.0;
    QTest::newRow("HDR PQ is tone-mapped after scaling")
        << video(0, u"3840x2160"_s,
                 u"pix_fmt=yuv420p10le color_transfer=smpte2084 color_primaries=bt2020 "
                 u"color_space=bt2020nc"_s)
        << wide << u"scale=320:180,"_s + kToneMap.arg(u"smpte2084"_s) << "-1,-1" << 0.0;
    QTest::newRow("HDR HLG portrait, colours unstated")
        << video(0, u"1080x1920"_s, u"pix_fmt=yuv420p10le color_transfer=arib-std-b67"_s) << sd
        << u"scale=136:240,"_s + kToneMap.arg(u"arib-std-b67"_s) + u","_s +
               kBars.arg(320).arg(240).arg(92).arg(0)
        << "-1,-1" << 0.0;
    const QString programmes =
        video(0, u"320x180"_s) + audio(1) + video(2, u"320x240"_s) + audio(3) + audio(4) +
        lines(u"programs.program.0"_s, u"program_id=1 streams.stream.0.index=0 "
                                       u"streams.stream.1.index=1"_s) +
        lines(u"programs.program.1"_s, u"program_id=2 streams.stream.0.index=3 "
                                       u"streams.stream.1.index=2 streams.stream.2.index=4"_s);
    QTest::newRow("two programmes: picture and sound of the larger") << programmes << sd << ""
                                                                     << "2,3" << 0.0;
    // The larger picture has no sound in its programme: the smaller one with sound wins.
    const QString silentLarger =
        video(0, u"320x180"_s) + audio(1) + video(2, u"320x240"_s) +
        lines(u"programs.program.0"_s, u"program_id=1 streams.stream.0.index=0 "
                                       u"streams.stream.1.index=1"_s) +
        lines(u"programs.program.1"_s, u"program_id=2 streams.stream.0.index=2"_s);
    QTest::newRow("two programmes: the one with picture and sound")
        << silentLarger << sd << u"scale=320:180,"_s + kBars.arg(320).arg(240).arg(0).arg(30)
        << "0,1" << 0.0;
    QTest::newRow("no programme with both: sound from another")
        << video(0, u"320x240"_s) + audio(1) +
               lines(u"programs.program.0"_s, u"program_id=1 streams.stream.0.index=0"_s) +
               lines(u"programs.program.1"_s, u"program_id=2 streams.stream.0.index=1"_s)
        << sd << ""
        << "0,1" << 0.0;
    QTest::newRow("one programme: ffmpeg's own choice")
        << video(0, u"320x240"_s) + audio(1) +
               lines(u"programs.program.0"_s,
                     u"program_id=1 streams.stream.0.index=0 streams.stream.1.index=1"_s)
        << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("recording that begins mid-GOP")
        << lines(u"format"_s, u"start_time=1.400000"_s) +
               video(0, u"320x240"_s, u"start_time=2.089889"_s) + audio(1) +
               frame(0, 1, u"best_effort_timestamp_time=2.026944"_s) +
               frame(1, 0, u"best_effort_timestamp_time=3.423222"_s) +
               frame(2, 0, u"best_effort_timestamp_time=3.456556"_s)
        << sd << ""
        << "-1,-1" << 2.023222;
    QTest::newRow("picture starting late but whole")
        << lines(u"format"_s, u"start_time=0.000000"_s) +
               video(0, u"320x240"_s, u"start_time=0.300000"_s) + audio(1) +
               frame(0, 0, u"best_effort_timestamp_time=0.300000"_s)
        << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("sound only") << audio(0) << sd << ""
                                << "-1,-1" << 0.0;
    QTest::newRow("cover art is no picture")
        << audio(0) + video(1, u"500x500"_s, u"disposition.attached_pic=1"_s) << sd << ""
        << "-1,-1" << 0.0;
    QTest::newRow("nothing readable") << "garbage\n=\n"
                                      << sd << "-"
                                      << "-1,-1" << 0.0;
}

void TestPictureFilter::describesTheSource()
{
    QFETCH(QString, probe);
    QFETCH(QSize, frame);
    QFETCH(QString, filter);
    QFETCH(QString, streams);
    QFETCH(double, skipTo);

    const tovilo::SourceInfo source = tovilo::parseProbe(probe.toStdString());
    QCOMPARE(source.known, filter != u"-"_s);
    if (!source.known)
        return;
    QCOMPARE(source.hasVideo, probe.contains(u"video"_s) && !probe.contains(u"attached_pic"_s));
    QCOMPARE(source.hasAudio, probe.contains(u"audio"_s));
    QCOMPARE(QString::fromStdString(tovilo::pictureFilter(source, frame.width(), frame.height())),
             filter);
    QCOMPARE(u"%1,%2"_s.arg(source.mapVideo).arg(source.mapAudio), streams);
    QVERIFY2(qAbs(source.skipTo - skipTo) < 1e-6, qPrintable(QString::number(source.skipTo)));
}

QTEST_GUILESS_MAIN(TestPictureFilter)
#include "tst_picturefilter.moc"
