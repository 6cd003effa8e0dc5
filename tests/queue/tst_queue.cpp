#include "platform/CommandLine.h"
#include "queue/ThConvertInfo.h"

#include <QTest>

namespace {

std::unique_ptr<ThConvertInfoObject> job(const QString& source, TConvertStatus status = csWaiting)
{
    auto j = std::make_unique<ThConvertInfoObject>();
    j->SourceFile = source;
    j->Status = status;
    return j;
}

} // namespace

class TestQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newQueue()
    {
        ThConvertInfoObjectList list;
        QCOMPARE(list.Count(), 0);
        QVERIFY(!list.FirstWaiting());
        QVERIFY(!list.FirstConverting());
        QCOMPARE(list.Quality, 0);
        QCOMPARE(list.Ratio, 0);
        QVERIFY(list.SaveDir.isEmpty());
        QVERIFY(!list.OpenDir);
        QVERIFY(!list.AudioOnly);
        ThConvertInfoObject fresh;
        QCOMPARE(fresh.Status, csWaiting);
        QVERIFY(fresh.OutputFile.isEmpty());
    }

    void orderAndSearch()
    {
        ThConvertInfoObjectList list;
        QCOMPARE(list.Add(job(QStringLiteral("/a"), csFailed)), 0);
        QCOMPARE(list.Add(job(QStringLiteral("/b"))), 1);
        QCOMPARE(list.Add(job(QStringLiteral("/b"))), 2); // duplicates are separate jobs
        QCOMPARE(list.FirstWaiting(), list.Items(1));
        QVERIFY(!list.FirstConverting());
        list.Items(2)->Status = csConverting;
        QCOMPARE(list.FirstConverting(), list.Items(2));

        list.Delete(0);
        QCOMPARE(list.Count(), 2);
        QCOMPARE(list.Items(0)->SourceFile, QStringLiteral("/b"));
        QCOMPARE(list.Items(1)->Status, csConverting);
    }

    void indexOutOfRange_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("negative") << -1;
        QTest::newRow("count") << 2;
        QTest::newRow("far") << 100;
    }

    void indexOutOfRange()
    {
        QFETCH(int, index);
        ThConvertInfoObjectList list;
        list.Add(job(QStringLiteral("/a")));
        list.Add(job(QStringLiteral("/b")));
        const QString message =
            QStringLiteral("リストのインデックスが範囲を超えています (%1)").arg(index);
        for (int pass = 0; pass < 2; ++pass) {
            try {
                if (pass == 0)
                    list.Items(index);
                else
                    list.Delete(index);
                QFAIL("no error raised");
            } catch (const EListError& e) {
                QCOMPARE(e.message(), message);
            }
        }
        QCOMPARE(list.Count(), 2);
        QCOMPARE(list.Items(1)->SourceFile, QStringLiteral("/b"));
    }

    void arguments_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("ratio");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<int>("codec");
        QTest::addColumn<int>("subtitle");
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
                    << q << r << false << 0 << 0
                    << head + "-s " + sizes[q][r] + "  -async 1000 " + pieces[q] + out;
                QTest::addRow("audio, quality %d ratio %d", q, r)
                    << q << r << true << 0 << 0
                    << QByteArray(" -y -i \"/Videos/my clip.avi\" -ab 128k -ar 44100 -f mp3 "
                                  "\"/Out/my clip.mp3\"");
            }
        }
        // A hand-edited quality names no output file at all.
        QTest::newRow("quality 7")
            << 7 << 0 << false << 0 << 0 << head + "-s 320x240  -async 1000 ";
        QTest::newRow("ratio 5 counts as wide")
            << 0 << 5 << false << 0 << 0 << head + "-s 640x360  -async 1000 " + pieces[0] + out;
        // H.264 names another encoder and changes nothing else; subtitles add one option just
        // before the output; audio ignores both.
        const QByteArray h264 = QByteArray(head).replace("mpeg4", "libx264");
        QTest::newRow("H.264") << 4 << 1 << false << 1 << 0
                               << h264 + "-s 320x180  -async 1000 " + pieces[4] + out;
        QTest::newRow("H.264, subtitles")
            << 4 << 1 << false << 1 << 1
            << h264 + "-s 320x180  -async 1000 " + pieces[4] + "-subtitles jpn " + out;
        QTest::newRow("audio ignores both")
            << 4 << 1 << true << 1 << 1
            << QByteArray(" -y -i \"/Videos/my clip.avi\" -ab 128k -ar 44100 -f mp3 "
                          "\"/Out/my clip.mp3\"");
    }

    void arguments()
    {
        QFETCH(int, quality);
        QFETCH(int, ratio);
        QFETCH(bool, audio);
        QFETCH(int, codec);
        QFETCH(int, subtitle);
        QFETCH(QByteArray, expected);
        ThConvertInfoObjectList list;
        list.Quality = static_cast<std::uint8_t>(quality);
        list.Ratio = static_cast<std::uint8_t>(ratio);
        list.Codec = static_cast<std::uint8_t>(codec);
        list.Subtitle = static_cast<std::uint8_t>(subtitle);
        list.AudioOnly = audio;
        QCOMPARE(list.BuildArguments("/Videos/my clip.avi",
                                     audio ? "/Out/my clip.mp3" : "/Out/my clip.mp4"),
                 expected);
    }

    void hostilePathsSurviveTheSplit_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::newRow("quote") << QByteArray("/v/say \"hi\".avi");
        QTest::newRow("trailing backslash") << QByteArray("/v/odd\\");
        QTest::newRow("leading dash") << QByteArray("-i.avi");
        QTest::newRow("shell") << QByteArray("/v/$(touch x) `id`.avi");
        QTest::newRow("japanese") << QStringLiteral("/ビデオ/表 ソ.avi").toUtf8();
        QTest::newRow("newline") << QByteArray("/v/a\nb.avi");
    }

    void hostilePathsSurviveTheSplit()
    {
        QFETCH(QByteArray, source);
        ThConvertInfoObjectList list;
        for (bool audio : {false, true}) {
            list.AudioOnly = audio;
            const QList<QByteArray> argv = tovilo::splitCommandLine(
                "lib/ffmpeg" + list.BuildArguments(source, source + ".out"));
            QCOMPARE(argv.at(3), source);
            QCOMPARE(argv.last(), source + ".out");
        }
    }
};

QTEST_APPLESS_MAIN(TestQueue)
#include "tst_queue.moc"
