#include "widgets/pngextra.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using tovilo::PngImage;

namespace {

const QColor kBackground(255, 0, 255);
const QColor kNormal(200, 0, 0);
const QColor kOver(0, 200, 0);
const QColor kDown(0, 0, 200);

PngImage solid(QSize size, const QColor& color, QImage::Format format = QImage::Format_RGB888)
{
    QImage image(size, QImage::Format_RGB888);
    image.fill(color);
    return PngImage::fromImage(image.convertToFormat(format));
}

// What the button paints over a magenta background, in button coordinates.
QImage rendered(TPNGButton* button)
{
    QImage image(button->size(), QImage::Format_RGB32);
    image.fill(kBackground);
    button->render(&image, QPoint(), QRegion(), {});
    return image;
}

QColor at(const QImage& image, int x, int y)
{
    return image.pixelColor(x, y);
}

} // namespace

class TestPngButton : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void hoverShowsOverImage();
    void clickComesBeforeReleaseWithStateUp();
    void dragOffAndBack_data();
    void dragOffAndBack();
    void otherMouseButtonsChangeNothing_data();
    void otherMouseButtonsChangeNothing();
    void doubleClickGivesOneClick();
    void disableInClickHandlerKeepsMouseInside();
    void pressedWithoutDownImage_data();
    void pressedWithoutDownImage();
    void disabledImageOpacity_data();
    void disabledImageOpacity();
    void stopButtonPlacement();
    void captionLayouts_data();
    void captionLayouts();
    void clickedSignalCarriesSender();

private:
    QPoint inWindow(QPoint buttonPos) const { return m_button->geometry().topLeft() + buttonPos; }
    void move(QPoint buttonPos) { QTest::mouseMove(m_window->windowHandle(), inWindow(buttonPos)); }
    void press(QPoint buttonPos, Qt::MouseButton b = Qt::LeftButton)
    {
        QTest::mousePress(m_window->windowHandle(), b, {}, inWindow(buttonPos));
    }
    void release(QPoint buttonPos, Qt::MouseButton b = Qt::LeftButton)
    {
        QTest::mouseRelease(m_window->windowHandle(), b, {}, inWindow(buttonPos));
    }

    // The picture's top-left corner is found by its colour.
    static QPoint pictureAt(const QImage& image, const QColor& color)
    {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) == color)
                    return {x, y};
        return {-1, -1};
    }

    std::unique_ptr<QWidget> m_window;
    TPNGButton* m_button = nullptr;
    QStringList m_log;
    const QPoint m_centre{20, 15};
    const QPoint m_outside{-30, 15};
};

void TestPngButton::init()
{
    m_log.clear();
    m_window = std::make_unique<QWidget>();
    m_window->resize(200, 100);
    m_button = new TPNGButton(m_window.get());
    m_button->setGeometry(60, 30, 40, 30);
    m_button->SetButtonStyle(pbsNoFrame);
    m_button->SetImageNormal(solid({20, 10}, kNormal));
    m_button->SetImageOver(solid({20, 10}, kOver));
    m_button->SetImageDown(solid({20, 10}, kDown));
    m_button->OnMouseDown = [this](TPNGButton*, Qt::MouseButton b, Qt::KeyboardModifiers, int,
                                   int) { m_log << QStringLiteral("down %1").arg(int(b)); };
    m_button->OnMouseUp = [this](TPNGButton*, Qt::MouseButton b, Qt::KeyboardModifiers, int, int) {
        m_log << QStringLiteral("up %1").arg(int(b));
    };
    m_button->OnClick = [this](TPNGButton* sender) {
        m_log << QStringLiteral("click state %1").arg(int(sender->ButtonState()));
    };
    m_button->OnMouseEnter = [this](TPNGButton*) { m_log << QStringLiteral("enter"); };
    m_button->OnMouseExit = [this](TPNGButton*) { m_log << QStringLiteral("exit"); };
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTest::mouseMove(m_window->windowHandle(), QPoint(5, 5));
}

void TestPngButton::cleanup()
{
    m_window.reset();
}

void TestPngButton::hoverShowsOverImage()
{
    QVERIFY(!m_button->MouseInside());
    QCOMPARE(at(rendered(m_button), 10, 10), kNormal);

    move(m_centre);
    QVERIFY(m_button->MouseInside());
    QCOMPARE(at(rendered(m_button), 10, 10), kOver);
    QCOMPARE(at(rendered(m_button), 9, 10), kBackground);

    move(m_outside);
    QVERIFY(!m_button->MouseInside());
    QCOMPARE(at(rendered(m_button), 10, 10), kNormal);
    QCOMPARE(m_log, QStringList({QStringLiteral("enter"), QStringLiteral("exit")}));
}

void TestPngButton::clickComesBeforeReleaseWithStateUp()
{
    move(m_centre);
    press(m_centre);
    QCOMPARE(m_button->ButtonState(), pbsDown);
    const QImage pressed = rendered(m_button);
    QCOMPARE(pictureAt(pressed, kDown), QPoint(12, 12));
    release(m_centre);
    QCOMPARE(m_button->ButtonState(), pbsUp);
    QCOMPARE(m_log, QStringList({QStringLiteral("enter"), QStringLiteral("down 1"),
                                 QStringLiteral("click state 0"), QStringLiteral("up 1")}));
}

void TestPngButton::dragOffAndBack_data()
{
    QTest::addColumn<bool>("releaseInside");
    QTest::newRow("release off the button") << false;
    QTest::newRow("release after coming back") << true;
}

void TestPngButton::dragOffAndBack()
{
    QFETCH(bool, releaseInside);
    move(m_centre);
    press(m_centre);

    move(m_outside);
    QCOMPARE(m_button->ButtonState(), pbsDown);
    QVERIFY(!m_button->MouseInside());
    QCOMPARE(pictureAt(rendered(m_button), kNormal), QPoint(10, 10));

    move(m_centre);
    QVERIFY(m_button->MouseInside());
    QCOMPARE(pictureAt(rendered(m_button), kDown), QPoint(12, 12));

    const QPoint at = releaseInside ? m_centre : m_outside;
    if (!releaseInside)
        move(m_outside);
    release(at);
    QCOMPARE(m_button->ButtonState(), pbsUp);
    QCOMPARE(m_log.contains(QStringLiteral("click state 0")), releaseInside);
    QCOMPARE(m_button->MouseInside(), releaseInside);
    // Qt's own leave after the release must not be reported a second time.
    QCOMPARE(m_log.count(QStringLiteral("exit")), releaseInside ? 1 : 2);
}

void TestPngButton::otherMouseButtonsChangeNothing_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
}

void TestPngButton::otherMouseButtonsChangeNothing()
{
    QFETCH(Qt::MouseButton, button);
    move(m_centre);
    press(m_centre, button);
    QCOMPARE(m_button->ButtonState(), pbsUp);
    QCOMPARE(pictureAt(rendered(m_button), kOver), QPoint(10, 10));
    release(m_centre, button);
    QCOMPARE(m_button->ButtonState(), pbsUp);
    QVERIFY(!m_log.join(QLatin1Char(' ')).contains(QStringLiteral("click")));
    QVERIFY(m_log.contains(QStringLiteral("down %1").arg(int(button))));
}

void TestPngButton::doubleClickGivesOneClick()
{
    int doubles = 0;
    m_button->OnDblClick = [&](TPNGButton*) { ++doubles; };
    move(m_centre);
    QTest::mouseDClick(m_window->windowHandle(), Qt::LeftButton, {}, inWindow(m_centre));
    QCOMPARE(doubles, 1);
    QCOMPARE(m_log.count(QStringLiteral("click state 0")), 1);
    QCOMPARE(m_button->ButtonState(), pbsUp);
}

void TestPngButton::disableInClickHandlerKeepsMouseInside()
{
    m_button->OnClick = [](TPNGButton* sender) { sender->setEnabled(false); };
    move(m_centre);
    press(m_centre);
    release(m_centre);
    QCOMPARE(m_button->ButtonState(), pbsDisabled);

    move(m_outside);
    QVERIFY(m_button->MouseInside());
    QVERIFY(!m_log.contains(QStringLiteral("exit")));

    m_button->setEnabled(true);
    QCOMPARE(m_button->ButtonState(), pbsUp);
    QCOMPARE(pictureAt(rendered(m_button), kOver), QPoint(10, 10));

    move(m_centre);
    move(m_outside);
    QVERIFY(!m_button->MouseInside());
    QCOMPARE(pictureAt(rendered(m_button), kNormal), QPoint(10, 10));
}

void TestPngButton::pressedWithoutDownImage_data()
{
    QTest::addColumn<bool>("withOver");
    QTest::addColumn<QColor>("shown");
    QTest::newRow("over image set") << true << kOver;
    QTest::newRow("only the normal image") << false << kNormal;
}

void TestPngButton::pressedWithoutDownImage()
{
    QFETCH(bool, withOver);
    QFETCH(QColor, shown);
    m_button->SetImageDown(PngImage());
    if (!withOver)
        m_button->SetImageOver(PngImage());
    move(m_centre);
    press(m_centre);
    QCOMPARE(pictureAt(rendered(m_button), shown), QPoint(12, 12));
    release(m_centre);
    QCOMPARE(pictureAt(rendered(m_button), shown), QPoint(10, 10));
}

void TestPngButton::disabledImageOpacity_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<int>("red");
    // White over black: 255 * (255 div 3) / 255 = 85.
    QTest::newRow("RGB fades") << QImage::Format_RGB888 << 85;
    QTest::newRow("RGBA fades") << QImage::Format_ARGB32 << 85;
    QTest::newRow("grey fades") << QImage::Format_Grayscale8 << 85;
    QTest::newRow("palette stays") << QImage::Format_Indexed8 << 255;
}

void TestPngButton::disabledImageOpacity()
{
    QFETCH(QImage::Format, format);
    QFETCH(int, red);
    m_button->SetImageNormal(solid({20, 10}, Qt::white, format));
    m_button->setEnabled(false);
    QCOMPARE(m_button->ButtonState(), pbsDisabled);

    QImage image(m_button->size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    m_button->render(&image, QPoint(), QRegion(), {});
    QVERIFY2(qAbs(image.pixelColor(15, 12).red() - red) <= 1,
             qPrintable(QString::number(image.pixelColor(15, 12).red())));
    QCOMPARE(image.pixelColor(5, 12), QColor(Qt::black));
}

void TestPngButton::stopButtonPlacement()
{
    m_button->setGeometry(20, 60, 65, 21);
    m_button->SetButtonLayout(pbsImageLeft);
    m_button->SetImageNormal(solid({65, 21}, kNormal));
    m_button->SetImageOver(solid({65, 21}, kOver));
    m_button->SetImageDown(solid({65, 21}, kDown));

    const QPoint centre(32, 10);
    move(centre);
    QCOMPARE(pictureAt(rendered(m_button), kOver), QPoint(0, 0));
    press(centre);
    const QImage image = rendered(m_button);
    QCOMPARE(pictureAt(image, kDown), QPoint(0, 2));
    QCOMPARE(at(image, 64, 2), kDown);
    QCOMPARE(at(image, 0, 1), kBackground);
    release(centre);
}

void TestPngButton::captionLayouts_data()
{
    QTest::addColumn<TPNGButtonLayout>("layout");
    QTest::addColumn<QPoint>("picture");
    // Button 100 x 60, picture 20 x 10, caption "Ab" of TW x TH (filled in by the test):
    // above: y = (60 - 14 - TH) / 2; below: y = (60 - 14 - TH) / 2 + TH;
    // left: x = (100 - 20 - TW) / 2; right: x = (100 - 20 - TW) / 2 + TW + 5.
    QTest::newRow("above") << pbsImageAbove << QPoint(40, -1);
    QTest::newRow("below") << pbsImageBellow << QPoint(40, -2);
    QTest::newRow("left") << pbsImageLeft << QPoint(-1, 23);
    QTest::newRow("right") << pbsImageRight << QPoint(-2, 23);
}

void TestPngButton::captionLayouts()
{
    QFETCH(TPNGButtonLayout, layout);
    QFETCH(QPoint, picture);
    m_button->setGeometry(0, 0, 100, 60);
    m_button->SetCaption(QStringLiteral("Ab"));
    m_button->SetButtonLayout(layout);
    const QFontMetrics metrics(m_button->font());
    const int tw = metrics.horizontalAdvance(QStringLiteral("Ab"));
    const int th = metrics.height();
    auto resolve = [&](int v, bool vertical) {
        if (v == -1)
            return vertical ? (60 - 14 - th) / 2 : (100 - 20 - tw) / 2;
        if (v == -2)
            return vertical ? (60 - 14 - th) / 2 + th : (100 - 20 - tw) / 2 + tw + 5;
        return v;
    };
    const QPoint expected(resolve(picture.x(), false), resolve(picture.y(), true));
    QCOMPARE(pictureAt(rendered(m_button), kNormal), expected);
}

void TestPngButton::clickedSignalCarriesSender()
{
    QSignalSpy spy(m_button, &TPNGButton::clicked);
    move(m_centre);
    press(m_centre);
    release(m_centre);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<TPNGButton*>(), m_button);
}

QTEST_MAIN(TestPngButton)
#include "tst_pngbutton.moc"
