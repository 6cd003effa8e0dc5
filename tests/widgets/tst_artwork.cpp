#include "ui/Layout.h"
#include "widgets/pngextra.h"

#include <QTest>

namespace layout = tovilo::layout;

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
    QTest::newRow("addfile") << "addfile" << main << layout::mainWindow::addFile.rect
                             << QSize(126, 38) << false;
    QTest::newRow("adddvd") << "adddvd" << main << layout::mainWindow::addDvd.rect << QSize(126, 38)
                            << false;
    QTest::newRow("listdelete") << "listdelete" << main << layout::mainWindow::listDelete.rect
                                << QSize(65, 38) << false;
    QTest::newRow("config") << "config" << main << layout::mainWindow::config.rect << QSize(65, 38)
                            << false;
    QTest::newRow("convertcancel")
        << "convertcancel" << main << layout::mainWindow::convertCancel.rect << QSize(65, 21)
        << true;
    QTest::newRow("pause") << "pause" << main << layout::mainWindow::convertPause.rect
                           << QSize(65, 21) << true;
    QTest::newRow("resume") << "resume" << main << layout::mainWindow::convertResume.rect
                            << QSize(65, 21) << true;
    QTest::newRow("convertmovie") << "convertmovie" << main << layout::mainWindow::convertMovie.rect
                                  << QSize(127, 38) << false;
    QTest::newRow("convertmovie2itunes")
        << "convertmovie2itunes" << main << layout::mainWindow::convertMovieToLibrary.rect
        << QSize(127, 38) << false;
    QTest::newRow("convertmusic") << "convertmusic" << main << layout::mainWindow::convertMusic.rect
                                  << QSize(127, 38) << false;
    QTest::newRow("convertmusic2itunes")
        << "convertmusic2itunes" << main << layout::mainWindow::convertMusicToLibrary.rect
        << QSize(127, 38) << false;
    QTest::newRow("dvd_refresh") << "dvd_refresh" << dvd << layout::selectDvd::refresh.rect
                                 << QSize(65, 32) << false;
    QTest::newRow("dvd_selectall")
        << "dvd_selectall" << dvd << layout::selectDvd::selectAll.rect << QSize(73, 32) << false;
    QTest::newRow("dvd_anselectall")
        << "dvd_anselectall" << dvd << layout::selectDvd::unselectAll.rect << QSize(85, 32)
        << false;
    QTest::newRow("dvd_ok") << "dvd_ok" << dvd << layout::selectDvd::ok.rect << QSize(73, 38)
                            << false;
    QTest::newRow("dvd_cancel") << "dvd_cancel" << dvd << layout::selectDvd::cancel.rect
                                << QSize(84, 38) << false;
    QTest::newRow("config_selectdir")
        << "config_selectdir" << config << layout::config::selectDir.rect << QSize(65, 32) << false;
    QTest::newRow("config_ok") << "config_ok" << config << layout::config::ok.rect << QSize(65, 38)
                               << false;
    QTest::newRow("config_cancel")
        << "config_cancel" << config << layout::config::cancel.rect << QSize(83, 38) << false;
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
    QTest::newRow("main") << "bg_main.png" << layout::mainWindow::backgroundSize << 240;
    QTest::newRow("chapter selection")
        << "bg_selectdvd.png" << layout::selectDvd::backgroundSize << 256;
    QTest::newRow("settings") << "bg_config.png" << layout::config::backgroundSize
                              << layout::config::dividerY;
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
    // The check box is painted in the dialog face colour; the picture must match beneath it.
    const PngImage bg = load(QStringLiteral("bg_config.png"));
    const QRect box = layout::config::openDir;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            QCOMPARE(pixel(bg, x, y), QColor(layout::dialogFace));
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
