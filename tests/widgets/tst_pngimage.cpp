#include "widgets/PngImage.h"

#include <QFile>
#include <QTest>
#include <QtEndian>

#include <functional>

using tovilo::PngError;
using tovilo::PngImage;
using ColorType = PngImage::ColorType;

namespace {

QString fixture(const char* name)
{
    return QStringLiteral(TOVILO_SOURCE_DIR "/tests/widgets/data/") + QLatin1String(name);
}

QByteArray readFixture(const char* name)
{
    QFile file(fixture(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return file.readAll();
}

// Same pixels, where fully transparent pixels count as equal whatever their colour.
bool samePixels(const QImage& a, const QImage& b, QString* where)
{
    if (a.size() != b.size()) {
        *where = QStringLiteral("size");
        return false;
    }
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    for (int r = 0; r < x.height(); ++r)
        for (int c = 0; c < x.width(); ++c) {
            const QRgb p = x.pixel(c, r);
            const QRgb q = y.pixel(c, r);
            if (p != q && !(qAlpha(p) == 0 && qAlpha(q) == 0)) {
                *where = QStringLiteral("(%1,%2): %3 vs %4")
                             .arg(c)
                             .arg(r)
                             .arg(p, 8, 16, QLatin1Char('0'))
                             .arg(q, 8, 16, QLatin1Char('0'));
                return false;
            }
        }
    return true;
}

QImage gradient(QImage::Format format, int colors = 0)
{
    QImage image(23, 9, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x * 11, y * 28, 255 - x * 11, 255 - (x * y) % 256));
    if (format == QImage::Format_Indexed8) {
        QImage indexed(image.size(), QImage::Format_Indexed8);
        QList<QRgb> table;
        for (int i = 0; i < colors; ++i)
            table << qRgba(i * 255 / colors, 255 - i * 255 / colors, i % 7 * 30,
                           i == 1 ? 100 : 255);
        indexed.setColorTable(table);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                indexed.setPixel(x, y, uint((x + y * 3) % colors));
        return indexed;
    }
    return image.convertToFormat(format);
}

quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xffffffffu;
    for (char ch : bytes) {
        crc ^= uchar(ch);
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? (crc >> 1) ^ 0xedb88320u : crc >> 1;
    }
    return ~crc;
}

// Rewrites the first chunk of the given type (payload edited by fn) with a valid CRC, so the
// decoder meets the damage itself rather than a checksum error.
QByteArray editChunk(QByteArray png, const char* type, const std::function<void(QByteArray&)>& fn)
{
    qsizetype pos = 8;
    while (pos + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + pos);
        if (png.mid(pos + 4, 4) == type) {
            QByteArray payload = png.mid(pos + 8, length);
            fn(payload);
            QByteArray chunk = QByteArray(type) + payload;
            QByteArray out(4, '\0');
            qToBigEndian<quint32>(quint32(payload.size()), out.data());
            out += chunk;
            QByteArray crc(4, '\0');
            qToBigEndian<quint32>(crc32(chunk), crc.data());
            out += crc;
            return png.left(pos) + out + png.mid(pos + 12 + length);
        }
        pos += 12 + length;
    }
    qFatal("no %s chunk", type);
    return {};
}

} // namespace

class TestPngImage : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void decodesLikeQt_data();
    void decodesLikeQt();
    void damagedData_data();
    void damagedData();
    void everyTruncationFails();
    void everyFlippedByteIsHandled();
    void missingFile();
    void addOpaqueAlpha_data();
    void addOpaqueAlpha();
    void copiesAreIndependent();
};

void TestPngImage::roundTrip_data()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<ColorType>("type");
    QTest::addColumn<int>("depth");
    QTest::newRow("rgb") << gradient(QImage::Format_RGB888) << ColorType::Rgb << 8;
    QTest::newRow("rgba") << gradient(QImage::Format_ARGB32) << ColorType::Rgba << 8;
    QTest::newRow("grey 8") << gradient(QImage::Format_Grayscale8) << ColorType::Grey << 8;
    QTest::newRow("grey 16") << gradient(QImage::Format_Grayscale16) << ColorType::Grey << 16;
    QTest::newRow("palette 1 bit")
        << gradient(QImage::Format_Indexed8, 2) << ColorType::Palette << 1;
    QTest::newRow("palette 2 bit")
        << gradient(QImage::Format_Indexed8, 3) << ColorType::Palette << 2;
    QTest::newRow("palette 4 bit")
        << gradient(QImage::Format_Indexed8, 16) << ColorType::Palette << 4;
    QTest::newRow("palette 8 bit")
        << gradient(QImage::Format_Indexed8, 200) << ColorType::Palette << 8;
}

// Written by libpng through PngImage, read back both by PngImage and by Qt's own reader.
void TestPngImage::roundTrip()
{
    QFETCH(QImage, source);
    QFETCH(ColorType, type);
    QFETCH(int, depth);
    const QByteArray bytes = PngImage::fromImage(source).toPngData();
    const PngImage image = PngImage::fromData(bytes);
    QCOMPARE(image.colorType(), type);
    QCOMPARE(image.bitDepth(), depth);
    QString where;
    QVERIFY2(samePixels(image.toImage(), source, &where), qPrintable(where));
    QVERIFY2(samePixels(QImage::fromData(bytes, "PNG"), source, &where), qPrintable(where));
}

void TestPngImage::decodesLikeQt_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<ColorType>("type");
    QTest::addColumn<int>("depth");
    QTest::newRow("interlaced") << "interlaced_rgb.png" << ColorType::Rgb << 8;
    QTest::newRow("grey 2 bit") << "grey2.png" << ColorType::Grey << 2;
    QTest::newRow("rgb colour key") << "rgbkey.png" << ColorType::Rgb << 8;
}

void TestPngImage::decodesLikeQt()
{
    QFETCH(QString, name);
    QFETCH(ColorType, type);
    QFETCH(int, depth);
    const PngImage image = PngImage::fromFile(fixture(name.toLatin1()));
    QCOMPARE(image.colorType(), type);
    QCOMPARE(image.bitDepth(), depth);
    QString where;
    QVERIFY2(samePixels(image.toImage(), QImage(fixture(name.toLatin1())), &where),
             qPrintable(where));
}

void TestPngImage::damagedData_data()
{
    const QByteArray good = PngImage::fromImage(gradient(QImage::Format_RGB888)).toPngData();
    const QByteArray palette =
        PngImage::fromImage(gradient(QImage::Format_Indexed8, 200)).toPngData();
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not a PNG") << QByteArray("GIF89a just some other bytes");
    QTest::newRow("signature only") << good.left(8);
    QByteArray badCrc = good;
    badCrc[29] = char(badCrc[29] ^ 0x55);
    QTest::newRow("IHDR checksum") << badCrc;
    QTest::newRow("zero width") << editChunk(
        good, "IHDR", [](QByteArray& p) { qToBigEndian<quint32>(0, p.data()); });
    QTest::newRow("huge size") << editChunk(good, "IHDR", [](QByteArray& p) {
        qToBigEndian<quint32>(0x7fffffff, p.data());
        qToBigEndian<quint32>(0x7fffffff, p.data() + 4);
    });
    QTest::newRow("bad bit depth") << editChunk(good, "IHDR", [](QByteArray& p) { p[8] = 7; });
    QTest::newRow("zlib stream garbled") << editChunk(good, "IDAT", [](QByteArray& p) {
        for (qsizetype i = 2; i < p.size(); i += 3)
            p[i] = char(p[i] ^ 0xa5);
    });
    QTest::newRow("image data cut short")
        << editChunk(good, "IDAT", [](QByteArray& p) { p.truncate(p.size() / 2); });
    QTest::newRow("palette missing")
        << editChunk(palette, "PLTE", [](QByteArray& p) { p.clear(); });
}

void TestPngImage::damagedData()
{
    QFETCH(QByteArray, data);
    QVERIFY_THROWS_EXCEPTION(PngError, PngImage::fromData(data));
}

void TestPngImage::everyTruncationFails()
{
    for (const char* name : {"interlaced_rgb.png", "rgbkey.png"}) {
        const QByteArray bytes = readFixture(name);
        for (qsizetype n = 0; n < bytes.size(); ++n) {
            try {
                PngImage::fromData(bytes.left(n));
                QFAIL(qPrintable(QStringLiteral("%1 cut to %2 bytes was accepted")
                                     .arg(QString::fromUtf8(name))
                                     .arg(n)));
            } catch (const PngError& e) {
                QVERIFY(!e.message().isEmpty());
            }
        }
    }
}

// Damage anywhere either fails cleanly or still yields an image of the right size.
void TestPngImage::everyFlippedByteIsHandled()
{
    const QByteArray good = readFixture("interlaced_rgb.png");
    for (qsizetype i = 0; i < good.size(); ++i) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ 0xff);
        try {
            const PngImage image = PngImage::fromData(bad);
            QCOMPARE(image.toImage().size(), QSize(13, 7));
        } catch (const PngError&) {
        }
    }
}

void TestPngImage::missingFile()
{
    QVERIFY_THROWS_EXCEPTION(PngError, PngImage::fromFile(fixture("no_such_file.png")));
    QVERIFY_THROWS_EXCEPTION(PngError,
                             PngImage::fromFile(QStringLiteral(":/artwork/no_such_file.png")));
}

void TestPngImage::addOpaqueAlpha_data()
{
    QTest::addColumn<PngImage>("image");
    QTest::addColumn<ColorType>("type");
    QTest::addColumn<int>("faded");
    QTest::newRow("rgb") << PngImage::fromImage(gradient(QImage::Format_RGB888)) << ColorType::Rgba
                         << 85;
    QTest::newRow("grey 8") << PngImage::fromImage(gradient(QImage::Format_Grayscale8))
                            << ColorType::GreyAlpha << 85;
    QTest::newRow("grey 16") << PngImage::fromImage(gradient(QImage::Format_Grayscale16))
                             << ColorType::GreyAlpha << 21845;
    QTest::newRow("grey 2 bit") << PngImage::fromFile(fixture("grey2.png")) << ColorType::GreyAlpha
                                << 85;
    QTest::newRow("rgb colour key")
        << PngImage::fromFile(fixture("rgbkey.png")) << ColorType::Rgba << 85;
    QTest::newRow("palette") << PngImage::fromImage(gradient(QImage::Format_Indexed8, 16))
                             << ColorType::Palette << -1;
}

void TestPngImage::addOpaqueAlpha()
{
    QFETCH(PngImage, image);
    QFETCH(ColorType, type);
    QFETCH(int, faded);
    const QImage before = image.toImage();

    image.addOpaqueAlpha();
    QCOMPARE(image.colorType(), type);
    QString where;
    QVERIFY2(samePixels(image.toImage(), before, &where), qPrintable(where));
    if (type == ColorType::Palette) {
        QCOMPARE(image.paletteAlpha().size(), 256);
        // Entry 1 was translucent already and stays so; the rest are opaque.
        QCOMPARE(uchar(image.paletteAlpha()[1]), uchar(100));
        QCOMPARE(uchar(image.paletteAlpha()[0]), uchar(255));
        QCOMPARE(uchar(image.paletteAlpha()[255]), uchar(255));
    }

    image.divideAlpha(3);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool transparent = qAlpha(before.pixel(x, y)) == 0;
            QCOMPARE(image.alphaAt(x, y), faded < 0 ? -1 : transparent ? 0 : faded);
        }
    if (type == ColorType::Palette)
        QVERIFY(samePixels(image.toImage(), before, &where));

    // The faded image must still be writable as a PNG that reads back the same.
    const PngImage back = PngImage::fromData(image.toPngData());
    QVERIFY2(samePixels(back.toImage(), image.toImage(), &where), qPrintable(where));
}

void TestPngImage::copiesAreIndependent()
{
    const PngImage original = PngImage::fromImage(gradient(QImage::Format_RGB888));
    const QImage before = original.toImage();
    PngImage copy = original;
    copy.addOpaqueAlpha();
    copy.divideAlpha(3);
    QCOMPARE(original.colorType(), ColorType::Rgb);
    QCOMPARE(original.toImage(), before);
    QVERIFY(copy.toImage() != before);
}

QTEST_GUILESS_MAIN(TestPngImage)
#include "tst_pngimage.moc"
