#include "widgets/pngextra.h"

#include <QTest>

using tovilo::PngImage;

namespace {

PngImage load(const QString& name)
{
    return PngImage::fromFile(QStringLiteral(":/artwork/") + name);
}

QColor pixel(const PngImage& image, int x, int y)
{
    return image.toImage().pixelColor(x, y);
}

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2 &&
           qAbs(a.blue() - b.blue()) <= 2;
}

} // namespace

// The compiled-in artwork: every picture the windows load is there, in the size and the
// plain RGB format they expect, and matches the background it is drawn over.
class TestArtwork : public QObject
{
    Q_OBJECT

private slots:
    void buttonImages_data();
    void buttonImages();
    void backgrounds_data();
    void backgrounds();
    void settingsCheckBoxColour();
    void windowIcon();
};

void TestArtwork::buttonImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("background");
    QTest::addColumn<QRect>("control");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("imageLeft");
    const QString main = QStringLiteral("bg_main.png");
    const QString dvd = QStringLiteral("bg_selectdvd.png");
    const QString config = QStringLiteral("bg_config.png");
    QTest::newRow("addfile") << "addfile" << main << QRect(18, 9, 130, 38) << QSize(126, 38)
                             << false;
    QTest::newRow("adddvd") << "adddvd" << main << QRect(159, 8, 136, 40) << QSize(126, 38)
                            << false;
    QTest::newRow("listdelete") << "listdelete" << main << QRect(308, 9, 65, 38) << QSize(65, 38)
                                << false;
    QTest::newRow("config") << "config" << main << QRect(391, 9, 65, 38) << QSize(65, 38) << false;
    QTest::newRow("convertcancel")
        << "convertcancel" << main << QRect(20, 245, 65, 21) << QSize(65, 21) << true;
    QTest::newRow("convertmovie") << "convertmovie" << main << QRect(341, 63, 127, 38)
                                  << QSize(127, 38) << false;
    QTest::newRow("convertmovie2itunes")
        << "convertmovie2itunes" << main << QRect(341, 104, 127, 38) << QSize(127, 38) << false;
    QTest::newRow("convertmusic") << "convertmusic" << main << QRect(341, 155, 127, 38)
                                  << QSize(127, 38) << false;
    QTest::newRow("convertmusic2itunes")
        << "convertmusic2itunes" << main << QRect(341, 196, 127, 38) << QSize(127, 38) << false;
    QTest::newRow("dvd_refresh") << "dvd_refresh" << dvd << QRect(231, 33, 65, 32) << QSize(65, 32)
                                 << false;
    QTest::newRow("dvd_selectall")
        << "dvd_selectall" << dvd << QRect(16, 212, 73, 32) << QSize(73, 32) << false;
    QTest::newRow("dvd_anselectall")
        << "dvd_anselectall" << dvd << QRect(104, 212, 85, 32) << QSize(85, 32) << false;
    QTest::newRow("dvd_ok") << "dvd_ok" << dvd << QRect(125, 265, 73, 38) << QSize(73, 38) << false;
    QTest::newRow("dvd_cancel") << "dvd_cancel" << dvd << QRect(212, 265, 84, 38) << QSize(84, 38)
                                << false;
    QTest::newRow("config_selectdir")
        << "config_selectdir" << config << QRect(365, 155, 65, 32) << QSize(65, 32) << false;
    QTest::newRow("config_ok") << "config_ok" << config << QRect(289, 231, 65, 38) << QSize(65, 38)
                               << false;
    QTest::newRow("config_cancel")
        << "config_cancel" << config << QRect(372, 231, 83, 38) << QSize(83, 38) << false;
}

void TestArtwork::buttonImages()
{
    QFETCH(QString, name);
    QFETCH(QString, background);
    QFETCH(QRect, control);
    QFETCH(QSize, size);
    QFETCH(bool, imageLeft);

    TPNGButton button;
    LoadButtonImages(&button, name);
    QVERIFY(!button.ImageNormal().isEmpty());
    QVERIFY(!button.ImageOver().isEmpty());
    QVERIFY(!button.ImageDown().isEmpty());

    const PngImage bg = load(background);
    // The button centres its picture; pressed, it moves 2 down (and 2 right unless the
    // picture is left of the caption). The corners outside the rounded face must be the
    // background at exactly that place, or the picture would show as a box.
    const QPoint normalAt = control.topLeft() + QPoint((control.width() - size.width()) / 2,
                                                       (control.height() - size.height()) / 2);
    const QPoint downAt = normalAt + QPoint(imageLeft ? 0 : 2, 2);
    const struct
    {
        const PngImage& image;
        QPoint at;
    } looks[] = {{button.ImageNormal(), normalAt},
                 {button.ImageOver(), normalAt},
                 {button.ImageDown(), downAt}};
    for (const auto& look : looks) {
        QCOMPARE(look.image.colorType(), PngImage::ColorType::Rgb);
        QCOMPARE(look.image.bitDepth(), 8);
        QCOMPARE(QSize(look.image.width(), look.image.height()), size);
        const int right = size.width() - 1;
        const int bottom = size.height() - 1;
        for (QPoint corner :
             {QPoint(0, 0), QPoint(right, 0), QPoint(0, bottom), QPoint(right, bottom)}) {
            const QColor want = pixel(bg, look.at.x() + corner.x(), look.at.y() + corner.y());
            QVERIFY2(near(pixel(look.image, corner.x(), corner.y()), want),
                     qPrintable(QStringLiteral("corner %1,%2").arg(corner.x()).arg(corner.y())));
        }
    }
}

void TestArtwork::backgrounds_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("dividerY");
    QTest::newRow("main") << "bg_main.png" << QSize(474, 277) << 240;
    QTest::newRow("chapter selection") << "bg_selectdvd.png" << QSize(314, 311) << 256;
    QTest::newRow("settings") << "bg_config.png" << QSize(474, 277) << 222;
}

void TestArtwork::backgrounds()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(int, dividerY);
    const PngImage image = load(name);
    QCOMPARE(image.colorType(), PngImage::ColorType::Rgb);
    QCOMPARE(image.bitDepth(), 8);
    QCOMPARE(QSize(image.width(), image.height()), size);
    // The grey divider above the bottom band is darker than both its neighbours.
    const int x = size.width() / 2;
    const int divider = pixel(image, x, dividerY).lightness();
    QVERIFY(divider < pixel(image, x, dividerY - 1).lightness());
    QVERIFY(divider < pixel(image, x, dividerY + 3).lightness());
}

void TestArtwork::settingsCheckBoxColour()
{
    // CBOpenDir is painted in 244,242,235 at (105,188) 16 x 17; the picture must match there.
    const PngImage bg = load(QStringLiteral("bg_config.png"));
    for (int y = 188; y < 205; ++y)
        for (int x = 105; x < 121; ++x)
            QCOMPARE(pixel(bg, x, y), QColor(244, 242, 235));
}

void TestArtwork::windowIcon()
{
    const PngImage icon = load(QStringLiteral("app_icon.png"));
    QCOMPARE(QSize(icon.width(), icon.height()), QSize(64, 64));
    QVERIFY(icon.hasAlphaChannel());
    QCOMPARE(icon.alphaAt(0, 0), 0);
}

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
