#include "runner/LineSplitter.h"

#include <QTest>

using tovilo::LineSplitter;
using Reads = QList<QByteArray>;
using Deliveries = QList<QByteArray>;

// A delivery is written "P:text" (partial), "L:text" (ended by CR or LF alone) or
// "W:text" (ended by CR LF).
static QByteArray describe(const QByteArray& text, LineSplitter::Break lineBreak)
{
    switch (lineBreak) {
    case LineSplitter::Break::None:
        return "P:" + text;
    case LineSplitter::Break::Single:
        return "L:" + text;
    case LineSplitter::Break::CrLf:
        return "W:" + text;
    }
    return {};
}

class TestLineSplitter : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<Deliveries>("expected");
        QTest::addColumn<bool>("lastWasCr");

        QTest::newRow("three reads") << Reads{"ab", "cd\r", "\nef\r\ng"}
                                     << Deliveries{"P:ab", "L:abcd", "W:ef", "P:g"} << false;
        QTest::newRow("empty line between")
            << Reads{"a\n\nb"} << Deliveries{"L:a", "L:", "P:b"} << false;
        QTest::newRow("CR LF in one read") << Reads{"x\r\ny"} << Deliveries{"W:x", "P:y"} << false;
        QTest::newRow("CR then LF later in next read")
            << Reads{"a\r", "\nb\n"} << Deliveries{"L:a", "L:b"} << false;
        QTest::newRow("LF opening a read after a LF")
            << Reads{"a\n", "\nb"} << Deliveries{"L:a", "L:", "P:b"} << false;
        QTest::newRow("LF not first in read after CR")
            << Reads{"a\r", "b\n"} << Deliveries{"L:a", "L:b"} << false;
        QTest::newRow("CR only progress")
            << Reads{"frame=1 time=1.00 bitrate=\rframe=2 time=2.00 bitrate=\r"}
            << Deliveries{"L:frame=1 time=1.00 bitrate=", "L:frame=2 time=2.00 bitrate="} << true;
        QTest::newRow("CR CR is two lines")
            << Reads{"a\r\rb"} << Deliveries{"L:a", "L:", "P:b"} << false;
        QTest::newRow("LF CR is two breaks")
            << Reads{"a\n\rb"} << Deliveries{"L:a", "L:", "P:b"} << false;
        QTest::newRow("NUL dropped") << Reads{QByteArray("a\0b\0\n\0", 6), QByteArray("\0", 1)}
                                     << Deliveries{"L:ab"} << false;
        QTest::newRow("NUL between CR and LF")
            << Reads{QByteArray("a\r\0\nb", 5)} << Deliveries{"L:a", "L:", "P:b"} << false;
        QTest::newRow("NUL at end after CR keeps no CR")
            << Reads{QByteArray("a\r\0", 3), "\nb"} << Deliveries{"L:a", "L:", "P:b"} << false;
        QTest::newRow("partial grows")
            << Reads{"ab", "cd", "ef\n"} << Deliveries{"P:ab", "P:abcd", "L:abcdef"} << false;
        QTest::newRow("shift-jis split between reads")
            << Reads{"\x82", "\xa0\x82\xa2\r\n"} << Deliveries{"P:\x82", "W:\x82\xa0\x82\xa2"}
            << false;
        QTest::newRow("trail byte that looks like LF") // 0x0a is never a trail byte, but 0x5c is
            << Reads{"\x95\x5c\n"} << Deliveries{"L:\x95\x5c"} << false;
        QTest::newRow("empty read") << Reads{"ab", ""} << Deliveries{"P:ab", "P:ab"} << false;
        QTest::newRow("empty read forgets the CR")
            << Reads{"a\r", "", "\nb"} << Deliveries{"L:a", "L:", "P:b"} << false;
    }

    void split()
    {
        QFETCH(Reads, reads);
        QFETCH(Deliveries, expected);
        QFETCH(bool, lastWasCr);

        LineSplitter splitter;
        Deliveries got;
        for (const QByteArray& read : reads) {
            splitter.split(read.constData(), read.size(),
                           [&](const QByteArray& text, auto b) { got.append(describe(text, b)); });
        }
        QCOMPARE(got, expected);
        QCOMPARE(splitter.lastWasCr(), lastWasCr);
    }

    void stopDiscardsTheRestOfTheRead()
    {
        LineSplitter splitter;
        Deliveries got;
        int tests = 0;
        const QByteArray read = "a\nb\nc\n";
        // Stop once two lines have been delivered.
        splitter.split(
            read.constData(), read.size(),
            [&](const QByteArray& text, auto b) { got.append(describe(text, b)); },
            [&] {
                ++tests;
                return got.size() >= 2;
            });
        QCOMPARE(got, (Deliveries{"L:a", "L:b"}));
        QVERIFY(splitter.pendingText().isEmpty());
        QVERIFY(tests > 0);
    }

    void echo_data()
    {
        QTest::addColumn<Reads>("output");
        QTest::addColumn<bool>("lastWasPartial");
        QTest::addColumn<Reads>("lines");
        QTest::addColumn<Deliveries>("expected");

        QTest::newRow("complete line")
            << Reads{} << false << Reads{"hello\r\n"} << Deliveries{"C:hello\r\n"};
        QTest::newRow("LF line") << Reads{} << false << Reads{"hi\n"} << Deliveries{"C:hi\n"};
        QTest::newRow("no break then break")
            << Reads{} << false << Reads{"ab", "c\r\n"} << Deliveries{"P:ab", "C:abc\r\n"};
        QTest::newRow("CR alone is no break")
            << Reads{} << false << Reads{"a\r"} << Deliveries{"P:a\r"};
        QTest::newRow("break in the middle only")
            << Reads{} << false << Reads{"a\r\nb"} << Deliveries{"P:a\r\nb"};
        QTest::newRow("first LF decides")
            << Reads{} << false << Reads{"a\nb\n"} << Deliveries{"P:a\nb\n"};
        QTest::newRow("continues partial output")
            << Reads{"prompt> "} << true << Reads{"yes\n"} << Deliveries{"C:prompt> yes\n"};
        QTest::newRow("replaces when last was complete")
            << Reads{"prompt> "} << false << Reads{"yes\n"} << Deliveries{"C:yes\n"};
    }

    void echo()
    {
        QFETCH(Reads, output);
        QFETCH(bool, lastWasPartial);
        QFETCH(Reads, lines);
        QFETCH(Deliveries, expected);

        LineSplitter splitter;
        for (const QByteArray& read : output)
            splitter.split(read.constData(), read.size(), [](const QByteArray&, auto) {});
        Deliveries got;
        bool partial = lastWasPartial;
        for (const QByteArray& line : lines) {
            splitter.echo(line, partial, [&](const QByteArray& text, bool complete) {
                got.append((complete ? "C:" : "P:") + text);
                partial = !complete;
            });
        }
        QCOMPARE(got, expected);
    }

    void echoThenOutputContinuesTheLine()
    {
        LineSplitter splitter;
        Deliveries got;
        splitter.echo("ab", false, [](const QByteArray&, bool) {});
        splitter.split("cd\n", 3,
                       [&](const QByteArray& text, auto b) { got.append(describe(text, b)); });
        QCOMPARE(got, (Deliveries{"L:abcd"}));
    }
};

QTEST_APPLESS_MAIN(TestLineSplitter)
#include "tst_linesplitter.moc"
