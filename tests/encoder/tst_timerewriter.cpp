#include "encoder/run/ProgressLines.h"
#include "encoder/run/TimeRewriter.h"

#include <QTest>

#include <string>

using tovilo::TimeRewriter;

namespace {

std::string toStd(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QByteArray toBytes(const std::string& text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

class TestTimeRewriter : public QObject
{
    Q_OBJECT

private slots:
    void rewrites_data();
    void rewrites();
    void passesCompleteTextOnAtOnce_data();
    void passesCompleteTextOnAtOnce();
    void onlyFfmpegsOwnLinesAreProgress_data();
    void onlyFfmpegsOwnLinesAreProgress();
};

void TestTimeRewriter::rewrites_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("progress line, CR end")
        << QByteArray("frame=  10 fps=0.0 q=2.0 size=  10kB time=00:01:23.45 bitrate= 98.1kbits/s "
                      "speed=1x    \r")
        << QByteArray("frame=  10 fps=0.0 q=2.0 size=  10kB time=83.45 bitrate= 98.1kbits/s "
                      "speed=1x    \r");
    QTest::newRow("source duration unchanged")
        << QByteArray("  Duration: 00:01:23.45, start: 0.000000, bitrate: 1205 kb/s\n")
        << QByteArray("  Duration: 00:01:23.45, start: 0.000000, bitrate: 1205 kb/s\n");
    QTest::newRow("hours") << QByteArray("time=01:02:05.00 bitrate=")
                           << QByteArray("time=3725.00 bitrate=");
    QTest::newRow("three-digit hours")
        << QByteArray("time=100:00:00.00 bitrate=") << QByteArray("time=360000.00 bitrate=");
    QTest::newRow("fraction with leading zero")
        << QByteArray("time=00:00:00.04 bitrate=") << QByteArray("time=0.04 bitrate=");
    QTest::newRow("fraction digits kept")
        << QByteArray("time=00:00:07.123456 b") << QByteArray("time=7.123456 b");
    QTest::newRow("no fraction") << QByteArray("time=00:00:07 bitrate=")
                                 << QByteArray("time=7 bitrate=");
    QTest::newRow("dot without digits")
        << QByteArray("time=00:00:07. bitrate=") << QByteArray("time=7. bitrate=");
    QTest::newRow("two on one line") << QByteArray("time=00:00:01.50 x out_time=00:00:02.25\n")
                                     << QByteArray("time=1.50 x out_time=2.25\n");
    QTest::newRow("several lines, own ends")
        << QByteArray("a\r\ntime=00:00:01.00\rtime=00:00:02.00\ntime=00:00:03.00")
        << QByteArray("a\r\ntime=1.00\rtime=2.00\ntime=3.00");
    QTest::newRow("no time") << QByteArray("Input #0, avi, from 'file:/x.avi':\n")
                             << QByteArray("Input #0, avi, from 'file:/x.avi':\n");
    QTest::newRow("N/A") << QByteArray("size=N/A time=N/A bitrate=N/A\r")
                         << QByteArray("size=N/A time=N/A bitrate=N/A\r");
    QTest::newRow("negative") << QByteArray("time=-00:00:00.04 bitrate=")
                              << QByteArray("time=-00:00:00.04 bitrate=");
    QTest::newRow("upper case") << QByteArray("TIME=00:00:01.00 Time=00:00:01.00")
                                << QByteArray("TIME=00:00:01.00 Time=00:00:01.00");
    QTest::newRow("repeated t before key")
        << QByteArray("ttime=00:00:01.00 tim time=") << QByteArray("ttime=1.00 tim time=");
    QTest::newRow("one-digit minutes")
        << QByteArray("time=00:1:23.45 ") << QByteArray("time=00:1:23.45 ");
    QTest::newRow("three-digit seconds")
        << QByteArray("time=00:01:234 ") << QByteArray("time=00:01:234 ");
    QTest::newRow("ten-digit hours")
        << QByteArray("time=0000000001:00:00.00 ") << QByteArray("time=0000000001:00:00.00 ");
    QTest::newRow("cut short at the end") << QByteArray("x time=00:0") << QByteArray("x time=00:0");
    QTest::newRow("key cut short at the end") << QByteArray("x tim") << QByteArray("x tim");
    QTest::newRow("value at the very end")
        << QByteArray("time=00:00:09.99") << QByteArray("time=9.99");
    QTest::newRow("other bytes untouched")
        << QByteArray("\xff\x00\x82\xa0 time=00:00:01.00\x00", 22)
        << QByteArray("\xff\x00\x82\xa0 time=1.00\x00", 15);
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

// The same result however the stream is cut: once, at every place, and byte by byte.
void TestTimeRewriter::rewrites()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const std::string text = toStd(input);

    QCOMPARE(toBytes(tovilo::rewriteTimes(text)), expected);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        TimeRewriter rewriter;
        std::string out = rewriter.feed(std::string_view(text).substr(0, cut));
        out += rewriter.feed(std::string_view(text).substr(cut));
        out += rewriter.finish();
        QVERIFY2(toBytes(out) == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
    }
    TimeRewriter rewriter;
    std::string out;
    for (char c : text)
        out += rewriter.feed(std::string_view(&c, 1));
    out += rewriter.finish();
    QCOMPARE(toBytes(out), expected);
}

// Progress is shown live: what ends in a line end, or is no open time value, is not held back.
void TestTimeRewriter::passesCompleteTextOnAtOnce_data()
{
    QTest::addColumn<QByteArray>("pieces"); // separated by '|'
    QTest::addColumn<QByteArray>("passedOn");

    QTest::newRow("progress line with CR")
        << QByteArray("frame=  1 time=00:00:01.00 bitrate= 1.0kbits/s    \r")
        << QByteArray("frame=  1 time=1.00 bitrate= 1.0kbits/s    \r");
    QTest::newRow("text before an open value")
        << QByteArray("frame=  1 time=00:0") << QByteArray("frame=  1 ");
    QTest::newRow("open value completed by the next piece")
        << QByteArray("frame=  1 time=00:0|0:02.5|0 bitrate=\r")
        << QByteArray("frame=  1 time=2.50 bitrate=\r");
    QTest::newRow("no key") << QByteArray("speed=1x") << QByteArray("speed=1x");
}

void TestTimeRewriter::passesCompleteTextOnAtOnce()
{
    QFETCH(QByteArray, pieces);
    QFETCH(QByteArray, passedOn);
    TimeRewriter rewriter;
    std::string out;
    for (const QByteArray& piece : pieces.split('|'))
        out += rewriter.feed(toStd(piece));
    QCOMPARE(toBytes(out), passedOn);
}

// A title tag or a file name that says "time=... bitrate=" is not the position reached.
void TestTimeRewriter::onlyFfmpegsOwnLinesAreProgress_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("video progress")
        << QByteArray("frame=  1 size= 1kB time=00:00:01.00 bitrate= 1.0kbits/s\r")
        << QByteArray("frame=  1 size= 1kB time=00:00:01.00 bitrate= 1.0kbits/s\r");
    QTest::newRow("sound progress after a line")
        << QByteArray("x\nsize=  1kB time=00:00:02.00 bitrate=\r")
        << QByteArray("x\nsize=  1kB time=00:00:02.00 bitrate=\r");
    QTest::newRow("title tag") << QByteArray("    title           : time=999 bitrate=1 time=9\n")
                               << QByteArray("    title           : time:999 bitrate=1 time:9\n");
    QTest::newRow("file name, no line end")
        << QByteArray("Input #0, avi, from 'file:/v/time=5 bitrate=.avi':")
        << QByteArray("Input #0, avi, from 'file:/v/time:5 bitrate=.avi':");
    const QByteArray longLine = QByteArray(4094, 'a') + "time=1 bitrate=\n";
    QTest::newRow("key across the held limit")
        << longLine << QByteArray(longLine).replace("time=", "time:");
}

void TestTimeRewriter::onlyFfmpegsOwnLinesAreProgress()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    tovilo::ProgressLines whole;
    std::string all = whole.feed(toStd(input));
    all += whole.finish();
    QCOMPARE(toBytes(all), expected);
    tovilo::ProgressLines bytes;
    std::string out;
    for (char c : toStd(input))
        out += bytes.feed(std::string_view(&c, 1));
    QCOMPARE(toBytes(out + bytes.finish()), expected);
}

QTEST_GUILESS_MAIN(TestTimeRewriter)
#include "tst_timerewriter.moc"
