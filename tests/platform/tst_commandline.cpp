#include "platform/CommandLine.h"

#include <QTest>

using namespace tovilo;

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void split_data()
    {
        QTest::addColumn<QByteArray>("commandLine");
        QTest::addColumn<QList<QByteArray>>("argv");
        using L = QList<QByteArray>;
        QTest::newRow("blanks collapse") << QByteArray("  a  b\tc ") << L{"a", "b", "c"};
        QTest::newRow("quoted blank") << QByteArray("a \"b c\" d") << L{"a", "b c", "d"};
        QTest::newRow("quote inside word") << QByteArray("a\"b c\"d") << L{"ab cd"};
        QTest::newRow("empty quoted") << QByteArray("a \"\" b") << L{"a", "", "b"};
        QTest::newRow("escaped quote") << QByteArray("a\\\"b") << L{"a\"b"};
        QTest::newRow("two backslashes then quote") << QByteArray("\"a\\\\\" b") << L{"a\\", "b"};
        QTest::newRow("three backslashes then quote") << QByteArray("a\\\\\\\"b") << L{"a\\\"b"};
        QTest::newRow("backslashes without quote") << QByteArray("a\\\\b\\") << L{"a\\\\b\\"};
        QTest::newRow("double quote inside quotes") << QByteArray("\"a\"\"b\"") << L{"a\"b"};
        QTest::newRow("unterminated quote") << QByteArray("\"a b") << L{"a b"};
        QTest::newRow("newline is no separator") << QByteArray("a\nb c") << L{"a\nb", "c"};
        QTest::newRow("nothing") << QByteArray("   ") << L{};
        // The encoder command line the driver builds.
        QTest::newRow("encoder")
            << QByteArray("lib/ffmpeg -y -i \"/v/my clip.avi\" -ab 128k -ar 44100 -f mp3 \"/o/my clip.mp3\"")
            << L{"lib/ffmpeg", "-y", "-i", "/v/my clip.avi", "-ab", "128k", "-ar", "44100", "-f", "mp3",
                 "/o/my clip.mp3"};
    }

    void split()
    {
        QFETCH(QByteArray, commandLine);
        QFETCH(QList<QByteArray>, argv);
        QCOMPARE(splitCommandLine(commandLine), argv);
    }

    void hostileNamesRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("name");
        const char* names[] = {
            "/v/plain.avi",
            "/v/with blanks  twice .avi",
            "/ビデオ/表ソ動画.avi",
            "/v/a\"b.avi",
            "/v/\"quoted\"",
            "/v/trailing\\",
            "/v/trailing two\\\\",
            "/v/inner\\path\\x.avi",
            "/v/inner\\\"mix\\\\\".avi",
            "-leading-dash.avi",
            "/v/new\nline.avi",
            "/v/$(rm -rf ~).avi",
            "/v/`id`.avi",
            "/v/tab\there.avi",
            "/v/semi;colon&amp|pipe>redir<in*?.avi",
            "",
        };
        for (const char* name : names)
            QTest::newRow(name) << QByteArray(name);
        QTest::newRow("shift-jis trail 0x5C") << QByteArray("/v/\x95\x5c\x83\x5c.avi");
    }

    void hostileNamesRoundTrip()
    {
        QFETCH(QByteArray, name);
        const QByteArray commandLine = "lib/ffmpeg -i " + quoteArgument(name) + " " +
                                       quoteArgument(name + "x") + " -y";
        const QList<QByteArray> argv = splitCommandLine(commandLine);
        QCOMPARE(argv.size(), 5);
        QCOMPARE(argv[2], name);
        QCOMPARE(argv[3], name + "x");
        QCOMPARE(argv[4], QByteArray("-y"));
    }

    void ordinaryPathIsOnlyQuoted()
    {
        QCOMPARE(quoteArgument("/Videos/my clip.avi"), QByteArray("\"/Videos/my clip.avi\""));
        QCOMPARE(quoteArgument("/a\\b"), QByteArray("\"/a\\b\""));
    }
};

QTEST_APPLESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
