// Sound and subtitle choice through the real wrapper and Debian's ffmpeg: sound tracks told apart
// by their tone, subtitles by where their text lands in the converted picture.

#include "common/Programs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using tovilo::test::Run;

namespace {

Run run(const QString& program, const QStringList& args, const QString& folder = {})
{
    return tovilo::test::runProgram(program, args, folder);
}

// ffmpeg with its arguments in one string; the test's paths hold no blanks.
Run ffmpeg(const QString& args, const QString& folder)
{
    return run(u"ffmpeg"_s, (u"-nostdin -v error -y "_s + args).split(u' '), folder);
}

Run convert(const QString& source, const QString& output, int subtitle)
{
    ThConvertInfoObjectList queue;
    queue.Settings.Quality = 1; // 320x240
    queue.Settings.Subtitle = static_cast<std::uint8_t>(subtitle);
    return run(QStringLiteral(WRAPPER_PATH),
               tovilo::test::wrapperArgs(queue, source.toUtf8(), output.toUtf8()));
}

// The tone of the sound, from how often the first channel crosses zero in one second.
int toneOf(const QString& file)
{
    const Run pcm = run(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-ss"_s, u"1"_s, u"-t"_s,
                                      u"1"_s, u"-i"_s, file, u"-f"_s, u"s16le"_s, u"-ac"_s, u"1"_s,
                                      u"-ar"_s, u"48000"_s, u"-"_s});
    const auto* samples = reinterpret_cast<const qint16*>(pcm.output.constData());
    const qsizetype count = pcm.output.size() / 2;
    int crossings = 0;
    int loud = 0;
    for (qsizetype i = 1; i < count; ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
        loud = std::max(loud, std::abs(int(samples[i])));
    }
    return loud < 1000 ? 0 : static_cast<int>(crossings * 48000 / (2 * count));
}

QImage frameAt(const QString& file, const QString& folder)
{
    const QString png = folder + u"/frame.png"_s;
    QFile::remove(png);
    ffmpeg(u"-ss 2 -i "_s + file + u" -frames:v 1 "_s + png, folder);
    return QImage(png).convertToFormat(QImage::Format_Grayscale8);
}

// Pixels of the rows that differ clearly between two frames: the drawn text.
int changedPixels(const QImage& a, const QImage& b, int top, int bottom)
{
    int changed = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = 0; x < a.width(); ++x)
            changed += std::abs(a.pixelColor(x, y).value() - b.pixelColor(x, y).value()) > 60;
    }
    return changed;
}

int brightestIn(const QImage& image, int top, int bottom)
{
    int brightest = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = 0; x < image.width(); ++x)
            brightest = std::max(brightest, image.pixelColor(x, y).value());
    }
    return brightest;
}

// The height of the band of rows where two frames differ clearly: the drawn text's.
int textHeight(const QImage& a, const QImage& b)
{
    int top = -1;
    int bottom = -1;
    for (int y = 30; y < 210; ++y) {
        if (changedPixels(a, b, y, y + 1) >= 3) {
            top = top < 0 ? y : top;
            bottom = y;
        }
    }
    return top < 0 ? 0 : bottom - top + 1;
}

// A script for a 1080-line picture: "Arial" is not installed, the Japanese comes from IPA.
const char* const kScript =
    "[Script Info]\nScriptType: v4.00+\nPlayResX: 1920\nPlayResY: 1080\n\n[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
    "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    "Style: Default,Arial,100,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,"
    "1,3,0,2,10,10,40,1\n\n[Events]\n"
    "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";

const char* const kJapanese = "1\n00:00:00,500 --> 00:00:03,500\n日本語の字幕です\n\n";
const char* const kEnglishOnTop = "1\n00:00:00,500 --> 00:00:03,500\n{\\an8}ENGLISH ON TOP\n\n";

} // namespace

class TestSubtitles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void choosesSoundAndSubtitles_data();
    void choosesSoundAndSubtitles();
    void readsSideFilesInEveryEncoding();
    void drawsSideScriptsAsTracks();
    void boundsCraftedScripts_data();
    void boundsCraftedScripts();

private:
    void write(const QString& name, const QByteArray& bytes);
    QTemporaryDir m_dir;
    QString m_folder;
};

void TestSubtitles::write(const QString& name, const QByteArray& bytes)
{
    QFile file(m_folder + u'/' + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void TestSubtitles::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_folder = m_dir.path();
    write(u"ja.srt"_s, kJapanese);
    write(u"en.srt"_s, kEnglishOnTop);
    const QString picture = u"-f lavfi -i testsrc2=size=640x360:rate=25:duration=4 "_s;
    const auto tone = [](int hz) { return u"-f lavfi -i sine=frequency=%1:duration=4 "_s.arg(hz); };
    // English sound first and default, Japanese second; English subtitles on top, Japanese at
    // the bottom.
    QVERIFY(ffmpeg(picture + tone(500) + tone(1000) +
                       u"-i en.srt -i ja.srt -map 0 -map 1 -map 2 -map 3 -map 4 -c:v mpeg4 -q:v 2 "
                       "-c:a aac -c:s srt -metadata:s:a:0 language=eng -metadata:s:a:1 "
                       "language=jpn -metadata:s:s:0 language=eng -metadata:s:s:1 language=jpn "
                       "-disposition:a:0 default -disposition:a:1 0 -disposition:s:0 0 "
                       "-disposition:s:1 0 two.mkv"_s,
                   m_folder)
                .exitCode == 0);
    QVERIFY(ffmpeg(picture + tone(1000) + u"-c:v mpeg4 -q:v 2 -c:a aac plain.mp4"_s, m_folder)
                .exitCode == 0);
    // Sound on the centre channel alone, which a downmix must keep.
    QVERIFY(ffmpeg(picture + tone(1000) +
                       u"-filter_complex [1]pan=5.1|FC=c0[a] -map 0 -map [a] -c:v mpeg4 -c:a ac3 "
                       "centre.mkv"_s,
                   m_folder)
                .exitCode == 0);

    // A DVD title set: two AC-3 tracks, English then Japanese, and Japanese subpictures drawn
    // by spumux; the languages are in the IFO only.
    QVERIFY(ffmpeg(u"-f lavfi -i testsrc2=size=720x480:rate=30000/1001:duration=4 "_s + tone(500) +
                       tone(1000) +
                       u"-map 0 -map 1 -map 2 -target ntsc-dvd -aspect 16:9 -c:a ac3 dvd.mpg"_s,
                   m_folder)
                .exitCode == 0);
    write(u"spu.xml"_s,
          "<subpictures><stream><textsub filename=\"ja.srt\" characterset=\"UTF-8\" "
          "fontsize=\"28.0\" font=\"/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf\" "
          "horizontal-alignment=\"center\" vertical-alignment=\"bottom\" bottom-margin=\"40\" "
          "movie-width=\"720\" movie-height=\"480\" movie-fps=\"29.97\"/></stream></subpictures>");
    write(u"dvd.xml"_s,
          "<dvdauthor dest=\"disc\"><vmgm/><titleset><titles><video format=\"ntsc\" "
          "aspect=\"16:9\" widescreen=\"nopanscan\"/><audio lang=\"en\"/><audio lang=\"ja\"/>"
          "<subpicture lang=\"ja\"/><pgc><vob file=\"dvdsub.mpg\"/></pgc></titles></titleset>"
          "</dvdauthor>");
    QVERIFY(run(u"sh"_s,
                {u"-c"_s, u"VIDEO_FORMAT=NTSC spumux -s 0 spu.xml <dvd.mpg >dvdsub.mpg && "
                          "VIDEO_FORMAT=NTSC dvdauthor -x dvd.xml"_s},
                m_folder)
                .exitCode == 0);
}

void TestSubtitles::choosesSoundAndSubtitles_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("sideFile"); // written in Shift-JIS beside the source
    QTest::addColumn<QByteArray>("sideText");
    QTest::addColumn<int>("subtitle");
    QTest::addColumn<int>("tone");
    QTest::addColumn<bool>("textAtBottom");
    QTest::addColumn<QByteArray>("note");

    QTest::newRow("off: Japanese sound, no text")
        << u"two.mkv"_s << QString() << QByteArray() << 0 << 1000 << false << QByteArray();
    QTest::newRow("on: Japanese track burned, original sound")
        << u"two.mkv"_s << QString() << QByteArray() << 1 << 500 << true << QByteArray();
    QTest::newRow("Shift-JIS side file")
        << u"plain.mp4"_s << u"plain.ja.srt"_s << QByteArray(kJapanese) << 1 << 1000 << true
        << QByteArray();
    QTest::newRow("unreadable side file fails nothing")
        << u"plain.mp4"_s << u"plain.srt"_s << QByteArray("not a subtitle file\n") << 1 << 1000
        << false << QByteArray("lib/ffmpeg: notice: subtitles-left-out: ");
    QTest::newRow("centre channel kept")
        << u"centre.mkv"_s << QString() << QByteArray() << 0 << 1000 << false << QByteArray();
    QTest::newRow("DVD: Japanese from the IFO")
        << u"disc/VIDEO_TS/VTS_01_1.VOB"_s << QString() << QByteArray() << 0 << 1000 << false
        << QByteArray();
    QTest::newRow("DVD: subpictures burned, original sound")
        << u"disc/VIDEO_TS/VTS_01_1.VOB"_s << QString() << QByteArray() << 1 << 500 << true
        << QByteArray();
}

void TestSubtitles::choosesSoundAndSubtitles()
{
    QFETCH(QString, source);
    QFETCH(QString, sideFile);
    QFETCH(QByteArray, sideText);
    QFETCH(int, subtitle);
    QFETCH(int, tone);
    QFETCH(bool, textAtBottom);
    QFETCH(QByteArray, note);

    if (!sideFile.isEmpty())
        write(sideFile, QStringEncoder("Shift_JIS").encode(QString::fromUtf8(sideText)));
    const QString input = m_folder + u'/' + source;
    const QString plain = m_folder + u"/plain-out.mp4"_s;
    const QString output = m_folder + u"/out.mp4"_s;
    QVERIFY(convert(input, plain, 0).exitCode == 0);
    const Run converted = convert(input, output, subtitle);
    QFile::remove(m_folder + u'/' + sideFile);
    QVERIFY2(converted.exitCode == 0, converted.output);
    QVERIFY(note.isEmpty() || converted.output.contains(note));

    QCOMPARE(std::lround(toneOf(output) / 50.0) * 50, long(tone));
    // The 16:9 picture lies between bars in the 4:3 frame: the text stays on the picture, the
    // bars stay black, and nothing appears at the top.
    const QImage frame = frameAt(output, m_folder);
    const QImage without = frameAt(plain, m_folder);
    QCOMPARE(frame.size(), QSize(320, 240));
    QVERIFY(brightestIn(frame, 0, 28) < 40);
    QVERIFY(brightestIn(frame, 212, 240) < 40);
    QVERIFY(changedPixels(frame, without, 30, 120) < 20);
    QCOMPARE(changedPixels(frame, without, 120, 210) > 100, textAtBottom);
}

// The same Japanese lines in UTF-8 (with and without its mark), UTF-16 and Shift-JIS make the
// same picture, and a byte of no encoding in the line costs it nothing else.
void TestSubtitles::readsSideFilesInEveryEncoding()
{
    const QString text = QString::fromUtf8(kJapanese);
    const auto stray = [](QByteArray bytes, const QByteArray& before) {
        return bytes.insert(bytes.indexOf(before), '\xFF');
    };
    const QList<std::pair<QString, QByteArray>> encodings = {
        {u"UTF-8"_s, text.toUtf8()},
        {u"UTF-8 with mark"_s, "\xEF\xBB\xBF" + text.toUtf8()},
        {u"UTF-16LE with mark"_s,
         QStringEncoder(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom).encode(text)},
        {u"UTF-16BE"_s, QStringEncoder(QStringEncoder::Utf16BE).encode(text)},
        {u"Shift-JIS"_s, QStringEncoder("Shift_JIS").encode(text)},
        {u"Shift-JIS, a stray byte"_s, stray(QStringEncoder("Shift_JIS").encode(text),
                                             QStringEncoder("Shift_JIS").encode(u"本"_s))},
        {u"UTF-8, a stray byte"_s, stray(text.toUtf8(), u"本"_s.toUtf8())},
    };
    QImage first;
    for (const auto& [name, bytes] : encodings) {
        write(u"plain.srt"_s, bytes);
        const QString output = m_folder + u"/out.mp4"_s;
        const Run converted = convert(m_folder + u"/plain.mp4"_s, output, 1);
        QVERIFY2(converted.exitCode == 0 && !converted.output.contains("subtitles-left-out"),
                 qPrintable(name + u": "_s + QString::fromUtf8(converted.output)));
        const QImage frame = frameAt(output, m_folder).copy(0, 120, 320, 90);
        if (first.isNull())
            first = frame;
        QVERIFY2(changedPixels(frame, first, 0, 90) < 20, qPrintable(name));
    }
    QFile::remove(m_folder + u"/plain.srt"_s);
}

// A script beside the film is drawn as the same script inside it: in its own style, at the size
// its picture height gives it.
void TestSubtitles::drawsSideScriptsAsTracks()
{
    write(u"plain.ass"_s,
          QByteArray(kScript) + "Dialogue: 0,0:00:00.50,0:00:03.50,Default,,0,0,0,,日本語ABC\n");
    QVERIFY(ffmpeg(u"-i plain.mp4 -i plain.ass -map 0 -map 1 -c copy -metadata:s:s:0 "
                   "language=jpn script.mkv"_s,
                   m_folder)
                .exitCode == 0);
    QList<int> heights;
    for (const QString& source : {u"plain.mp4"_s, u"script.mkv"_s}) {
        const QString input = m_folder + u'/' + source;
        QVERIFY(convert(input, m_folder + u"/plain-out.mp4"_s, 0).exitCode == 0);
        QVERIFY(convert(input, m_folder + u"/out.mp4"_s, 1).exitCode == 0);
        heights << textHeight(frameAt(m_folder + u"/out.mp4"_s, m_folder),
                              frameAt(m_folder + u"/plain-out.mp4"_s, m_folder));
    }
    QFile::remove(m_folder + u"/plain.ass"_s);
    // 100 of 1080 lines, drawn into the 180 of the picture: letters about 17 pixels high.
    QVERIFY2(heights[1] >= 15 && std::abs(heights[0] - heights[1]) <= 2,
             qPrintable(u"side file %1, track %2"_s.arg(heights[0]).arg(heights[1])));
}

// A crafted script costs seconds, not the minutes and gigabytes libass would spend on it: a side
// file is brought within bounds and drawn, a track of the film is given up on and left out.
void TestSubtitles::boundsCraftedScripts_data()
{
    QTest::addColumn<QByteArray>("text"); // %1: the event's number, %2: the same up to 999
    QTest::addColumn<int>("events");      // all at once
    QTest::addColumn<bool>("track");
    QTest::addColumn<bool>("drawn");
    QTest::newRow("side file, letters 100000 high: as high as the picture")
        << QByteArray("{\\fs100000}ABC") << 1 << false << true;
    QTest::newRow("side file, 10000 lines at once: the first 128")
        << QByteArray("{\\pos(%2,%2)\\fs300}line %1") << 10000 << false << true;
    QTest::newRow("track, letters 100000 high: left out")
        << QByteArray("{\\fs100000}ABC") << 1 << true << false;
}

void TestSubtitles::boundsCraftedScripts()
{
    QFETCH(QByteArray, text);
    QFETCH(int, events);
    QFETCH(bool, track);
    QFETCH(bool, drawn);
    QByteArray script = kScript;
    for (int i = 0; i < events; ++i)
        script += "Dialogue: 0,0:00:00.00,0:00:04.00,Default,,0,0,0,," +
                  QByteArray(text)
                      .replace("%1", QByteArray::number(i))
                      .replace("%2", QByteArray::number(i % 1000)) +
                  "\n";
    write(u"plain.ass"_s, script);
    if (track) {
        QVERIFY(ffmpeg(u"-i plain.mp4 -i plain.ass -map 0 -map 1 -c copy crafted.mkv"_s, m_folder)
                    .exitCode == 0);
        QFile::remove(m_folder + u"/plain.ass"_s);
    }
    const QString input = m_folder + (track ? u"/crafted.mkv"_s : u"/plain.mp4"_s);
    QElapsedTimer timer;
    timer.start();
    const Run converted = convert(input, m_folder + u"/out.mp4"_s, 1);
    const qint64 took = timer.elapsed();
    QFile::remove(m_folder + u"/plain.ass"_s);
    QVERIFY2(converted.exitCode == 0, converted.output);
    QVERIFY2(took < 60000, qPrintable(QString::number(took)));
    QCOMPARE(converted.output.contains("lib/ffmpeg: notice: subtitles-left-out: "), !drawn);
    QVERIFY(convert(input, m_folder + u"/plain-out.mp4"_s, 0).exitCode == 0);
    const QImage frame = frameAt(m_folder + u"/out.mp4"_s, m_folder);
    QCOMPARE(changedPixels(frame, frameAt(m_folder + u"/plain-out.mp4"_s, m_folder), 30, 210) > 100,
             drawn);
}

QTEST_GUILESS_MAIN(TestSubtitles)
#include "tst_subtitles.moc"
