#include "engine/UserTexts.h"
#include "protocol/WrapperFailure.h"
#include "queue/EncoderFailure.h"

#include <QTest>

#include <cerrno>

using namespace tovilo;

namespace {

bool hasJapanese(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x3040 && c.unicode() <= 0x9FFF)
            return true;
    }
    return false;
}

QByteArray lineOf(std::string_view kind, const QByteArray& detail)
{
    return EncoderErrorPrefix + ' ' + QByteArray(kind.data(), qsizetype(kind.size())) + ": " +
           detail;
}

} // namespace

class TestUserTexts : public QObject
{
    Q_OBJECT

private slots:
    void statusText_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("waiting") << 0 << QStringLiteral("変換待ち");
        QTest::newRow("converting") << 1 << QStringLiteral("変換中");
        QTest::newRow("converted") << 2 << QStringLiteral("変換完了");
        QTest::newRow("transferred") << 3 << QStringLiteral("転送完了");
        QTest::newRow("failed") << 4 << QStringLiteral("変換失敗");
        QTest::newRow("outside") << 5 << QString();
        QTest::newRow("far outside") << 255 << QString();
    }

    void statusText()
    {
        QFETCH(int, status);
        QFETCH(QString, text);
        ThConvertInfoObject j;
        j.Status = static_cast<TConvertStatus>(status);
        QCOMPARE(StatusText(j), text);
    }

    // Whatever kind the wrapper names, the row's reason is Japanese; only "other" and kinds
    // this program does not know carry the encoder's own words, inside a Japanese sentence.
    void everyKindReadsInJapanese_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("keepsDetail");
        for (const FailureKindName& entry : failureKindNames) {
            QTest::newRow(entry.name.data())
                << lineOf(entry.name, "no output file given") << (entry.kind == FailureKind::Other);
        }
        QTest::newRow("unknown kind") << lineOf("cosmic-ray", "bit flipped") << true;
        QTest::newRow("no kind") << EncoderErrorPrefix + " bit flipped" << true;
        QTest::newRow("not a failure line") << QByteArray("Conversion failed!") << false;
        QTest::newRow("not started") << encoderNotStartedLine() << false;
        QTest::newRow("name not claimed") << outputNotClaimedLine(EACCES) << false;
    }

    void everyKindReadsInJapanese()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, keepsDetail);
        const QString reason = failureReasonText(line);
        QVERIFY2(hasJapanese(reason), qPrintable(reason));
        const QString detail = QString::fromUtf8(line.mid(line.lastIndexOf(':') + 1).trimmed());
        QCOMPARE(reason.contains(detail), keepsDetail);
    }

    void namesTheSourceProblems_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("cut short") << QByteArray("input-incomplete")
                                   << QStringLiteral("元のファイルを最後まで読めませんでした");
        QTest::newRow("a pipe")
            << QByteArray("input-not-file")
            << QStringLiteral(
                   "変換元が通常のファイルではありません（パイプや装置は変換できません）");
    }

    void namesTheSourceProblems()
    {
        QFETCH(QByteArray, kind);
        QFETCH(QString, reason);
        QCOMPARE(failureReasonText(EncoderErrorPrefix + ' ' + kind + ": x"), reason);
    }

    // A figure that is enough: whole megabytes, never fewer than needed, never 0.
    void saysHowMuchRoomIsMissing_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("reason");
        const QString text = QStringLiteral("iPodの空き容量が足りません（あと約%1MB必要です）");
        QTest::newRow("a byte") << qint64(1) << text.arg(1);
        QTest::newRow("exactly") << qint64(120000000) << text.arg(120);
        QTest::newRow("a byte more") << qint64(120000001) << text.arg(121);
        QTest::newRow("beyond 32 bits") << qint64(5000000000) << text.arg(5000);
    }

    void saysHowMuchRoomIsMissing()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, reason);
        ThConvertInfoObject job;
        job.HandOverNote = THandOverNote::NoRoom;
        job.BytesShort = bytes;
        QCOMPARE(handOverNoteText(job), reason);
    }
};

QTEST_GUILESS_MAIN(TestUserTexts)
#include "tst_usertexts.moc"
