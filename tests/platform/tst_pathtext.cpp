#include "platform/CodePage.h"
#include "platform/PathText.h"

#include <QMimeData>
#include <QTest>
#include <QUrl>

using namespace tovilo;

Q_DECLARE_METATYPE(tovilo::CodePage)

namespace {
// 表 in Shift-JIS: its trail byte is the code of "\".
const QByteArray Hyo("\x95\x5c", 2);
// ソ in Shift-JIS: trail byte 0x5C as well.
const QByteArray So("\x83\x5c", 2);
} // namespace

class TestPathText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { setSystemCodePage(CodePage::Utf8); }

    void fileNameAndExtension_data()
    {
        QTest::addColumn<CodePage>("codePage");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("ext");
        QTest::addColumn<QByteArray>("mp4");

        for (CodePage cp : {CodePage::Utf8, CodePage::Cp932}) {
            const char* tag = cp == CodePage::Utf8 ? "utf8" : "cp932";
            QTest::addRow("%s plain", tag)
                << cp << QByteArray("/home/u/clip.avi") << QByteArray("clip.avi")
                << QByteArray(".avi") << QByteArray("/home/u/clip.mp4");
            QTest::addRow("%s two dots", tag)
                << cp << QByteArray("/v/a.b.mpeg") << QByteArray("a.b.mpeg") << QByteArray(".mpeg")
                << QByteArray("/v/a.b.mp4");
            QTest::addRow("%s no dot", tag) << cp << QByteArray("/v/clip") << QByteArray("clip")
                                            << QByteArray() << QByteArray("/v/clip.mp4");
            QTest::addRow("%s dot in folder", tag)
                << cp << QByteArray("/v.d/clip") << QByteArray("clip") << QByteArray()
                << QByteArray("/v.d/clip.mp4");
            QTest::addRow("%s no folder", tag)
                << cp << QByteArray("clip.3gp") << QByteArray("clip.3gp") << QByteArray(".3gp")
                << QByteArray("clip.mp4");
            QTest::addRow("%s backslash and colon are ordinary", tag)
                << cp << QByteArray("/v/a:b\\c.flv") << QByteArray("a:b\\c.flv")
                << QByteArray(".flv") << QByteArray("/v/a:b\\c.mp4");
            QTest::addRow("%s trailing delimiter", tag)
                << cp << QByteArray("/v/") << QByteArray() << QByteArray() << QByteArray("/v/.mp4");
        }
        const QByteArray utf8Name = QStringLiteral("表ソ動画.avi").toUtf8();
        QTest::addRow("utf8 japanese")
            << CodePage::Utf8 << QByteArray("/ビデオ/") + utf8Name << utf8Name << QByteArray(".avi")
            << QByteArray("/ビデオ/") + QStringLiteral("表ソ動画.mp4").toUtf8();
        // "あ" in UTF-8 ends in 0x82, a lead byte in 932; the "/" after it is no trail byte.
        QTest::addRow("cp932 utf-8 folder")
            << CodePage::Cp932 << QByteArray("/v/\xe3\x81\x82/clip.avi") << QByteArray("clip.avi")
            << QByteArray(".avi") << QByteArray("/v/\xe3\x81\x82/clip.mp4");
        QTest::addRow("cp932 trail bytes 0x5C")
            << CodePage::Cp932 << QByteArray("/v/") + Hyo + So + ".vob" << Hyo + So + ".vob"
            << QByteArray(".vob") << QByteArray("/v/") + Hyo + So + ".mp4";
    }

    void fileNameAndExtension()
    {
        QFETCH(CodePage, codePage);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, ext);
        QFETCH(QByteArray, mp4);
        setSystemCodePage(codePage);
        QCOMPARE(extractFileName(path), name);
        QCOMPARE(extractFileExt(path), ext);
        QCOMPARE(changeFileExt(path, ".mp4"), mp4);
    }

    void trailingDelimiter_data()
    {
        QTest::addColumn<CodePage>("codePage");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("ends");
        QTest::addColumn<QByteArray>("withDelimiter");

        QTest::newRow("folder") << CodePage::Utf8 << QByteArray("/media/x/Video") << false
                                << QByteArray("/media/x/Video/");
        QTest::newRow("already") << CodePage::Utf8 << QByteArray("/media/x/Video/") << true
                                 << QByteArray("/media/x/Video/");
        QTest::newRow("root") << CodePage::Utf8 << QByteArray("/") << true << QByteArray("/");
        QTest::newRow("empty") << CodePage::Utf8 << QByteArray() << false << QByteArray("/");
        QTest::newRow("backslash is no delimiter")
            << CodePage::Utf8 << QByteArray("/v\\") << false << QByteArray("/v\\/");
        QTest::newRow("cp932 ends in 表")
            << CodePage::Cp932 << QByteArray("/d/") + Hyo << false << QByteArray("/d/") + Hyo + "/";
        QTest::newRow("cp932 表 then slash") << CodePage::Cp932 << QByteArray("/d/") + Hyo + "/"
                                             << true << QByteArray("/d/") + Hyo + "/";
        // A lone lead byte at the end is no character: the slash before it still counts.
        QTest::newRow("cp932 lone lead byte")
            << CodePage::Cp932 << QByteArray("/d/\x95") << false << QByteArray("/d/\x95/");
    }

    void trailingDelimiter()
    {
        QFETCH(CodePage, codePage);
        QFETCH(QByteArray, path);
        QFETCH(bool, ends);
        QFETCH(QByteArray, withDelimiter);
        setSystemCodePage(codePage);
        QCOMPARE(endsWithDelimiter(path), ends);
        QCOMPARE(includeTrailingDelimiter(path), withDelimiter);
    }

    void cp932LeadByteHidesDotAndSlash()
    {
        // In code page 932 a lead byte takes a trail byte with it (0x5C, "\\", among them), but
        // "." and "/" are no trail bytes: before them it stands alone.
        setSystemCodePage(CodePage::Cp932);
        QCOMPARE(extractFileExt(QByteArray("/d/a\x81\x5c.b")), QByteArray(".b"));
        QCOMPARE(extractFileExt(QByteArray("/d/a\x81.b")), QByteArray(".b"));
        QCOMPARE(extractFileName(QByteArray("/d/\x82/c")), QByteArray("c"));
    }

    void codePageRoundTrip_data()
    {
        QTest::addColumn<CodePage>("codePage");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("utf8") << CodePage::Utf8 << QStringLiteral("/動画/表.avi").toUtf8()
                              << QStringLiteral("/動画/表.avi");
        QTest::newRow("cp932 表") << CodePage::Cp932 << QByteArray("/") + Hyo + ".avi"
                                  << QStringLiteral("/表.avi");
        QTest::newRow("cp932 kana") << CodePage::Cp932 << QByteArray("\x83\x72\x83\x66\x83\x49")
                                    << QStringLiteral("ビデオ");
        QTest::newRow("cp932 ascii")
            << CodePage::Cp932 << QByteArray("abc/ d") << QStringLiteral("abc/ d");
    }

    void codePageRoundTrip()
    {
        QFETCH(CodePage, codePage);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        setSystemCodePage(codePage);
        QCOMPARE(toUtf16(bytes), text);
        QCOMPARE(fromUtf16(text), bytes);
    }

    void cp932ReplacesWhatItCannotExpress()
    {
        setSystemCodePage(CodePage::Cp932);
        // An emoji has no Shift-JIS form; the rest of the text must survive.
        QCOMPARE(fromUtf16(QStringLiteral("a😀b")), QByteArray("a?b"));
        // A truncated double-byte character does not swallow what came before.
        QCOMPARE(toUtf16(QByteArray("ab\x95")).left(2), QStringLiteral("ab"));
    }

    // A name near the file system's limit must still fit after "(n)", cut between characters.
    void fitFileName_data()
    {
        QTest::addColumn<CodePage>("codePage");
        QTest::addColumn<QByteArray>("stem");
        QTest::addColumn<QByteArray>("suffix");
        QTest::addColumn<QByteArray>("fitted");
        QTest::addColumn<int>("limit");
        const QByteArray a = QStringLiteral("あ").toUtf8();
        QTest::newRow("fits already")
            << CodePage::Utf8 << QByteArray("/o/clip") << QByteArray("(1).mp4")
            << QByteArray("/o/clip(1).mp4") << 255;
        QTest::newRow("utf8 whole characters")
            << CodePage::Utf8 << "/o/" + a.repeated(90) << QByteArray("(1).mp4")
            << "/o/" + a.repeated(82) + "(1).mp4" << 255;
        QTest::newRow("cp932 trail byte is a backslash")
            << CodePage::Cp932 << "/o/" + Hyo.repeated(130) << QByteArray(".mp4")
            << "/o/" + Hyo.repeated(125) + ".mp4" << 255;
        QTest::newRow("undecodable bytes")
            << CodePage::Utf8 << "/o/" + QByteArray(300, '\xff') << QByteArray("(12).mp3")
            << "/o/" + QByteArray(247, '\xff') + "(12).mp3" << 255;
        QTest::newRow("only the name is cut")
            << CodePage::Utf8 << QByteArray("/a/long/folder/abc") << QByteArray(".mp4")
            << QByteArray("/a/long/folder/a.mp4") << 5;
        QTest::newRow("suffix alone too long")
            << CodePage::Utf8 << QByteArray("/o/abc") << QByteArray(256, 'x')
            << "/o/abc" + QByteArray(256, 'x') << 255;
    }

    void fitFileName()
    {
        QFETCH(CodePage, codePage);
        QFETCH(QByteArray, stem);
        QFETCH(QByteArray, suffix);
        QFETCH(QByteArray, fitted);
        QFETCH(int, limit);
        setSystemCodePage(codePage);
        QCOMPARE(tovilo::fitFileName(stem, suffix, limit), fitted);
    }

    // Names arrive as URLs from a drop; their bytes must reach us unchanged.
    void localFilePath_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("invalid UTF-8") << QStringLiteral("file:///v/bad%FF%FEname.avi")
                                       << QByteArray("/v/bad\xff\xfename.avi");
        QTest::newRow("shift-jis") << QStringLiteral("file:///v/%83%72%83%66%83%49.avi")
                                   << QByteArray("/v/\x83\x72\x83\x66\x83\x49.avi");
        QTest::newRow("utf-8") << QStringLiteral("file:///v/%E8%A1%A8%20a.avi")
                               << QStringLiteral("/v/表 a.avi").toUtf8();
        QTest::newRow("unencoded utf-8")
            << QStringLiteral("file:///v/表.avi") << QStringLiteral("/v/表.avi").toUtf8();
        QTest::newRow("percent sign")
            << QStringLiteral("file:///v/100%25.avi") << QByteArray("/v/100%.avi");
        QTest::newRow("localhost")
            << QStringLiteral("file://localhost/v/a.avi") << QByteArray("/v/a.avi");
        QTest::newRow("share") << QStringLiteral("file://nas/v/a.avi")
                               << QByteArray("//nas/v/a.avi");
        QTest::newRow("not a file") << QStringLiteral("https://example.org/a.avi") << QByteArray();
    }

    void localFilePath()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, path);
        QCOMPARE(tovilo::localFilePath(QUrl(url)), path);
        // The way a drop carries it: text/uri-list, read back by QMimeData.
        QMimeData mime;
        mime.setData(QStringLiteral("text/uri-list"), url.toUtf8() + "\r\n");
        QCOMPARE(tovilo::localFilePath(mime.urls().value(0)), path);
    }

    // Names in other encodings: every byte string comes back unchanged, and shows readably.
    void foreignNames_data()
    {
        QTest::addColumn<CodePage>("codePage");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        const QString bad = QStringLiteral("bad\uFFFD\uFFFDname.avi");
        const QByteArray sjisVideo("\x83\x72\x83\x66\x83\x49.avi"); // ビデオ.avi
        for (CodePage cp : {CodePage::Utf8, CodePage::Cp932}) {
            const char* tag = cp == CodePage::Utf8 ? "utf8" : "cp932";
            QTest::addRow("%s invalid bytes", tag)
                << cp << QByteArray("bad\xff\xfename.avi") << bad;
            QTest::addRow("%s truncated at the end", tag)
                << cp << QByteArray("a\xe6\x97") << QString();
            QTest::addRow("%s every high byte", tag) << cp << QByteArray() << QString();
        }
        QTest::newRow("utf8 shift-jis name")
            << CodePage::Utf8 << sjisVideo << QStringLiteral("ビデオ.avi");
        QTest::newRow("utf8 encoded surrogate")
            << CodePage::Utf8 << QByteArray("\xed\xb3\xbf") << QString();
        QTest::newRow("utf8 overlong slash")
            << CodePage::Utf8 << QByteArray("\xc0\xaf") << QString();
        QTest::newRow("utf8 above U+10FFFF")
            << CodePage::Utf8 << QByteArray("\xf4\x90\x80\x80") << QString();
        QTest::newRow("utf8 four bytes then escape")
            << CodePage::Utf8 << QByteArray("\xf0\x90\x82\x80\x80") << QString();
        QTest::newRow("utf8 name is valid")
            << CodePage::Utf8 << QStringLiteral("動画.avi").toUtf8() << QStringLiteral("動画.avi");
        // Two codes for one character in 932: the reading must not turn one into the other.
        QTest::newRow("cp932 NEC and IBM duplicates")
            << CodePage::Cp932 << QByteArray("\xed\x40\xfa\x5c\x87\x90\x81\xe0")
            << QStringLiteral("纊纊≒≒");
        QTest::newRow("cp932 lead byte, ASCII after")
            << CodePage::Cp932 << QByteArray("\x81\x20x") << QStringLiteral("\uFFFD x");
        QTest::newRow("cp932 utf-8 name")
            << CodePage::Cp932 << QStringLiteral("é.avi").toUtf8() << QString();
    }

    void foreignNames()
    {
        QFETCH(CodePage, codePage);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        if (bytes.isEmpty()) {
            for (int byte = 0x80; byte <= 0xFF; ++byte)
                bytes += static_cast<char>(byte);
        }
        setSystemCodePage(codePage);
        QCOMPARE(fromUtf16(toUtf16(bytes)), bytes);
        const QString display = displayText(bytes);
        if (!shown.isNull())
            QCOMPARE(display, shown);
        // What is shown is well-formed text: no escapes, which fonts cannot draw.
        QCOMPARE(QString::fromUtf8(display.toUtf8()), display);
    }
};

QTEST_APPLESS_MAIN(TestPathText)
#include "tst_pathtext.moc"
