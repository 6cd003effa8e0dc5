#include "protocol/WrapperCommand.h"
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
        QCOMPARE(list.Settings.Quality, 0);
        QCOMPARE(list.Settings.Ratio, 0);
        QVERIFY(list.Settings.SaveDir.isEmpty());
        QVERIFY(!list.Settings.OpenDir);
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

    // The queue's settings as the request its command line carries; the line itself is the
    // protocol's.
    void arguments_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("ratio");
        QTest::addColumn<int>("codec");
        QTest::addColumn<int>("subtitle");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<bool>("wide");
        QTest::addColumn<bool>("h264");
        QTest::addColumn<bool>("burn");
        QTest::newRow("defaults") << 0 << 0 << 0 << 0 << false << false << false << false;
        QTest::newRow("ratio 5 counts as wide")
            << 0 << 5 << 0 << 0 << false << true << false << false;
        QTest::newRow("H.264, subtitles") << 4 << 1 << 1 << 1 << false << true << true << true;
        QTest::newRow("codec 2 and subtitle 2 are neither")
            << 2 << 0 << 2 << 2 << false << false << false << false;
        QTest::newRow("quality 7 as it is") << 7 << 0 << 0 << 0 << false << false << false << false;
        QTest::newRow("audio") << 3 << 1 << 1 << 1 << true << true << true << true;
    }

    void arguments()
    {
        QFETCH(int, quality);
        QFETCH(int, ratio);
        QFETCH(int, codec);
        QFETCH(int, subtitle);
        QFETCH(bool, audio);
        QFETCH(bool, wide);
        QFETCH(bool, h264);
        QFETCH(bool, burn);
        ThConvertInfoObjectList list;
        list.Settings.Quality = static_cast<std::uint8_t>(quality);
        list.Settings.Ratio = static_cast<std::uint8_t>(ratio);
        list.Settings.Codec = static_cast<std::uint8_t>(codec);
        list.Settings.Subtitle = static_cast<std::uint8_t>(subtitle);
        list.AudioOnly = audio;
        tovilo::WrapperRequest request;
        request.source = "/v/a b.avi";
        request.output = "/o/a b.mp4";
        request.audioOnly = audio;
        request.quality = quality;
        request.wide = wide;
        request.codec = h264 ? tovilo::VideoCodec::H264 : tovilo::VideoCodec::Mpeg4;
        request.burnSubtitles = burn;
        QCOMPARE(list.BuildArguments("/v/a b.avi", "/o/a b.mp4"),
                 QByteArray::fromStdString(tovilo::wrapperArguments(request)));
        QCOMPARE(list.FrameSizeArgument(),
                 QByteArray::fromStdString(tovilo::frameSizeArgument(quality, wide)));
    }
};

QTEST_APPLESS_MAIN(TestQueue)
#include "tst_queue.moc"
