// Draws every button image, background picture and application icon of Tovilo, plus a
// preview of each window. Run by hand (fonts-ipafont-gothic must be installed):
//   QT_QPA_PLATFORM=offscreen tovilo_draw_artwork <repository>
// It writes <repository>/assets/images, <repository>/assets/icons and <repository>/docs.
#include "ui/Layout.h"
#include "widgets/pngextra.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

enum class Look
{
    Normal,
    Over,
    Down
};

enum class Icon
{
    None,
    GreenPage,
    BlueDisc,
    RedMonitor,
    RedPlayer,
    BlueNote,
    BluePlayer
};

struct Button
{
    tovilo::layout::ButtonPlace place;
    QSize image;
    bool imageLeft; // pbsImageLeft; every other button has the picture above the caption
    QStringList lines;
    Icon icon = Icon::None;
    // The stop button: its normal picture is the idle one, with the text in light grey; it is
    // disabled while the window is idle, as the preview shows.
    bool greyWhenNormal = false;
    // Pictures another button shows in its place (resume for pause): not in the preview.
    bool alternate = false;
};

struct Window
{
    QString background;
    QString preview;
    QSize client;
    std::function<QImage()> draw;
    std::vector<Button> buttons;
};

const QString kFontFamily = QStringLiteral("IPAPGothic");
const QColor kText(0x33, 0x33, 0x33);
const QColor kLabelText(0x3a, 0x36, 0x30);
const QColor kDialogFace(tovilo::layout::dialogFace); // the settings check box lies on it
const QColor kBand(0xe4, 0xde, 0xcf);
const QColor kDivider(0xaf, 0xa8, 0x98);

QString g_root;

QFont uiFont(int pixelSize)
{
    QFont font(kFontFamily);
    font.setPixelSize(pixelSize);
    font.setHintingPreference(QFont::PreferFullHinting);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

void fail(const QString& message)
{
    std::fprintf(stderr, "draw_artwork: %s\n", qPrintable(message));
    std::exit(1);
}

// Button and background pictures are plain 8-bit RGB PNGs without alpha.
void saveRgb(const QImage& image, const QString& path)
{
    const QByteArray png =
        tovilo::PngImage::fromImage(image.convertToFormat(QImage::Format_RGB888)).toPngData();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size())
        fail(QStringLiteral("cannot write ") + path);
}

void saveRgba(const QImage& image, const QString& path)
{
    const QByteArray png =
        tovilo::PngImage::fromImage(image.convertToFormat(QImage::Format_ARGB32)).toPngData();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size())
        fail(QStringLiteral("cannot write ") + path);
}

void hline(QPainter& p, int y, int x0, int x1, const QColor& color)
{
    p.fillRect(QRect(QPoint(x0, y), QPoint(x1, y)), color);
}

void verticalGradient(QPainter& p, const QRect& r, const QColor& top, const QColor& bottom)
{
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(r, g);
}

void label(QPainter& p, int x, int y, const QString& text)
{
    p.setFont(uiFont(12));
    p.setPen(kLabelText);
    p.drawText(QRect(x, y, 300, 16), Qt::AlignLeft | Qt::AlignTop, text);
}

// ---- backgrounds ----

QImage mainBackground()
{
    constexpr QSize size = tovilo::layout::mainWindow::backgroundSize;
    QImage image(size.width(), size.height(), QImage::Format_RGB32);
    QPainter p(&image);
    hline(p, 0, 0, 473, kDivider);
    verticalGradient(p, QRect(0, 1, 474, 26), QColor(0xfe, 0xfe, 0xfc), QColor(0xf6, 0xf4, 0xee));
    verticalGradient(p, QRect(0, 27, 474, 26), QColor(0xee, 0xe7, 0xd5), QColor(0xe5, 0xdc, 0xc4));
    hline(p, 53, 0, 473, kDivider);
    hline(p, 54, 0, 473, Qt::white);
    verticalGradient(p, QRect(0, 55, 474, 185), QColor(0xfc, 0xfa, 0xf2), QColor(0xf3, 0xef, 0xe1));
    hline(p, 240, 0, 473, kDivider);
    hline(p, 241, 0, 473, QColor(0xf7, 0xf4, 0xec));
    verticalGradient(p, QRect(0, 242, 474, 35), QColor(0xec, 0xe7, 0xd9), kBand);
    return image;
}

QImage selectDvdBackground()
{
    constexpr QSize size = tovilo::layout::selectDvd::backgroundSize;
    QImage image(size.width(), size.height(), QImage::Format_RGB32);
    image.fill(kDialogFace);
    QPainter p(&image);
    label(p, 23, 19, QStringLiteral("ドライブ"));
    label(p, 21, 75, QStringLiteral("チャプター"));
    hline(p, 256, 0, 313, kDivider);
    hline(p, 257, 0, 313, QColor(0xfa, 0xf8, 0xf2));
    p.fillRect(QRect(0, 258, 314, 53), kBand);
    return image;
}

QImage configBackground()
{
    constexpr QSize size = tovilo::layout::config::backgroundSize;
    QImage image(size.width(), size.height(), QImage::Format_RGB32);
    image.fill(kDialogFace);
    QPainter p(&image);
    label(p, 47, 31, QStringLiteral("画質設定："));
    label(p, 47, 95, QStringLiteral("画面比率："));
    label(p, 47, 162, QStringLiteral("保存先："));
    label(p, 124, 189, QStringLiteral("変換後に保存先を開く"));
    label(p, 47, 236, QStringLiteral("映像の形式："));
    label(p, 47, 236 + tovilo::layout::config::subtitleRow, QStringLiteral("字幕："));
    constexpr int watch = tovilo::layout::config::watchTop;
    label(p, 47, watch + 14, QStringLiteral("監視フォルダー："));
    label(p, 47, watch + 73, QStringLiteral("新しい動画："));
    for (int y : {72, 135, 214, watch}) {
        hline(p, y, 35, 438, QColor(0xd2, 0xcb, 0xbb));
        hline(p, y + 1, 35, 438, Qt::white);
    }
    constexpr int divider = tovilo::layout::config::dividerY;
    hline(p, divider, 0, 473, kDivider);
    hline(p, divider + 1, 0, 473, QColor(0xfa, 0xf8, 0xf2));
    p.fillRect(QRect(0, divider + 2, 474, size.height() - divider - 2), kBand);
    return image;
}

// ---- icons, drawn into a square box ----

QPainterPath roundedRect(const QRectF& r, qreal radius)
{
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

QLinearGradient shade(const QRectF& r, const QColor& light, const QColor& dark)
{
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, light);
    g.setColorAt(1, dark);
    return g;
}

void drawPage(QPainter& p, const QRectF& box)
{
    const qreal s = box.width() / 24.0;
    const QRectF r(box.left() + 4 * s, box.top() + 1 * s, 16 * s, 22 * s);
    const qreal fold = 5 * s;
    QPainterPath page;
    page.moveTo(r.topLeft());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.bottomRight());
    page.lineTo(r.bottomLeft());
    page.closeSubpath();
    p.setPen(QPen(QColor(0x2e, 0x7d, 0x32), 1));
    p.setBrush(shade(r, QColor(0x8b, 0xd8, 0x6a), QColor(0x43, 0xa0, 0x47)));
    p.drawPath(page);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    corner.closeSubpath();
    p.setBrush(QColor(0xd9, 0xf2, 0xc9));
    p.drawPath(corner);
    p.setPen(QPen(QColor(255, 255, 255, 220), 1.2 * s));
    for (int i = 0; i < 3; ++i) {
        const qreal y = r.top() + (10 + 4 * i) * s;
        p.drawLine(QPointF(r.left() + 3 * s, y), QPointF(r.right() - 3 * s, y));
    }
}

void drawDisc(QPainter& p, const QRectF& box)
{
    const QPointF c = box.center();
    const qreal radius = box.width() * 0.46;
    QRadialGradient g(c, radius);
    g.setColorAt(0.0, QColor(0xe3, 0xf1, 0xff));
    g.setColorAt(0.35, QColor(0x9c, 0xcb, 0xf5));
    g.setColorAt(1.0, QColor(0x2f, 0x7b, 0xd0));
    p.setPen(QPen(QColor(0x1f, 0x5f, 0xa8), 1));
    p.setBrush(g);
    p.drawEllipse(c, radius, radius);
    // A light sheen across the upper left, as on a real disc.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    QPainterPath sheen;
    sheen.moveTo(c);
    sheen.arcTo(QRectF(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius), 100, 60);
    sheen.closeSubpath();
    p.drawPath(sheen);
    p.setPen(QPen(QColor(0x1f, 0x5f, 0xa8), 1));
    p.setBrush(Qt::white);
    p.drawEllipse(c, radius * 0.26, radius * 0.26);
}

void drawMonitor(QPainter& p, const QRectF& box)
{
    const qreal s = box.width() / 24.0;
    const QRectF frame(box.left() + 1 * s, box.top() + 3 * s, 22 * s, 15 * s);
    p.setPen(QPen(QColor(0x9e, 0x1f, 0x1f), 1));
    p.setBrush(shade(frame, QColor(0xf0, 0x6b, 0x5f), QColor(0xc6, 0x2b, 0x27)));
    p.drawPath(roundedRect(frame, 2 * s));
    const QRectF screen = frame.adjusted(2.5 * s, 2.5 * s, -2.5 * s, -2.5 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(shade(screen, QColor(0x4a, 0x4f, 0x5a), QColor(0x22, 0x25, 0x2c)));
    p.drawRect(screen);
    QPolygonF play;
    const QPointF m = screen.center();
    play << QPointF(m.x() - 2.5 * s, m.y() - 3.5 * s) << QPointF(m.x() + 3.5 * s, m.y())
         << QPointF(m.x() - 2.5 * s, m.y() + 3.5 * s);
    p.setBrush(Qt::white);
    p.drawPolygon(play);
    p.setBrush(QColor(0xb0, 0x2a, 0x26));
    p.drawRect(QRectF(box.left() + 10 * s, frame.bottom(), 4 * s, 3 * s));
    p.drawPath(roundedRect(QRectF(box.left() + 6 * s, frame.bottom() + 3 * s, 12 * s, 2 * s), s));
}

void drawPlayer(QPainter& p, const QRectF& box, const QColor& light, const QColor& dark,
                const QColor& edge)
{
    const qreal s = box.width() / 24.0;
    const QRectF body(box.left() + 5 * s, box.top() + 0.5 * s, 14 * s, 23 * s);
    p.setPen(QPen(edge, 1));
    p.setBrush(shade(body, light, dark));
    p.drawPath(roundedRect(body, 3 * s));
    const QRectF screen(body.left() + 2.5 * s, body.top() + 2.5 * s, 9 * s, 7 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(shade(screen, QColor(0xf4, 0xfa, 0xff), QColor(0xc9, 0xdc, 0xec)));
    p.drawPath(roundedRect(screen, 1 * s));
    const QPointF wheel(body.center().x(), body.top() + 16.5 * s);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(wheel, 4.6 * s, 4.6 * s);
    p.setBrush(shade(body, light, dark));
    p.drawEllipse(wheel, 1.7 * s, 1.7 * s);
}

void drawNote(QPainter& p, const QRectF& box)
{
    const qreal s = box.width() / 24.0;
    const QColor fill(0x2f, 0x7b, 0xd0);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    // Two heads joined by a beam: a pair of eighth notes.
    p.save();
    p.translate(box.left() + 7 * s, box.top() + 19 * s);
    p.rotate(-20);
    p.drawEllipse(QPointF(0, 0), 3.6 * s, 2.6 * s);
    p.restore();
    p.save();
    p.translate(box.left() + 18 * s, box.top() + 17 * s);
    p.rotate(-20);
    p.drawEllipse(QPointF(0, 0), 3.6 * s, 2.6 * s);
    p.restore();
    p.drawRect(QRectF(box.left() + 9.6 * s, box.top() + 4 * s, 1.8 * s, 15 * s));
    p.drawRect(QRectF(box.left() + 20.6 * s, box.top() + 2 * s, 1.8 * s, 15 * s));
    QPolygonF beam;
    beam << QPointF(box.left() + 9.6 * s, box.top() + 4 * s)
         << QPointF(box.left() + 22.4 * s, box.top() + 2 * s)
         << QPointF(box.left() + 22.4 * s, box.top() + 6 * s)
         << QPointF(box.left() + 9.6 * s, box.top() + 8 * s);
    p.drawPolygon(beam);
}

void drawIcon(QPainter& p, Icon icon, const QRectF& box)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    switch (icon) {
    case Icon::None:
        break;
    case Icon::GreenPage:
        drawPage(p, box);
        break;
    case Icon::BlueDisc:
        drawDisc(p, box);
        break;
    case Icon::RedMonitor:
        drawMonitor(p, box);
        break;
    case Icon::RedPlayer:
        drawPlayer(p, box, QColor(0xf2, 0x72, 0x66), QColor(0xc2, 0x28, 0x24),
                   QColor(0x96, 0x1c, 0x1c));
        break;
    case Icon::BlueNote:
        drawNote(p, box);
        break;
    case Icon::BluePlayer:
        drawPlayer(p, box, QColor(0x6f, 0xb1, 0xf0), QColor(0x24, 0x6c, 0xc4),
                   QColor(0x1a, 0x52, 0x9a));
        break;
    }
    p.restore();
}

// ---- buttons ----

void drawFace(QPainter& p, const QRectF& r, Look look)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const qreal radius = std::min(5.0, r.height() / 4);
    const QPainterPath face = roundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius);
    switch (look) {
    case Look::Normal:
        p.setPen(QPen(QColor(0xb9, 0xb1, 0xa1), 1));
        p.setBrush(shade(r, QColor(0xff, 0xff, 0xff), QColor(0xec, 0xe8, 0xdd)));
        break;
    case Look::Over:
        p.setPen(QPen(QColor(0xe0, 0x9b, 0x3a), 1));
        p.setBrush(shade(r, QColor(0xff, 0xfd, 0xf4), QColor(0xfc, 0xe6, 0xba)));
        break;
    case Look::Down:
        p.setPen(QPen(QColor(0xb8, 0x86, 0x3f), 1));
        p.setBrush(shade(r, QColor(0xf0, 0xd6, 0xa6), QColor(0xfb, 0xec, 0xcd)));
        break;
    }
    p.drawPath(face);
    if (look != Look::Down) {
        // A light inner rim along the top gives the face a little lift.
        p.setPen(QPen(QColor(255, 255, 255, 200), 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(roundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), radius - 1));
    }
    p.restore();
}

// Where the button shows its picture, normal and pressed; the layout is the button's own.
QPoint picturePos(const Button& b, bool pressed)
{
    const int off = pressed ? 2 : 0;
    const int w = b.place.rect.width();
    const int h = b.place.rect.height();
    const int iw = b.image.width();
    const int ih = b.image.height();
    QPoint pos;
    if (b.imageLeft)
        pos = QPoint((w - iw) / 2, (h - ih) / 2 + off);
    else
        pos = QPoint((w - iw) / 2 + off, (h - ih) / 2 + off);
    return b.place.rect.topLeft() + pos;
}

QImage drawButton(const QImage& background, const Button& b, Look look)
{
    // Painted on what lies beneath the picture, so the image has no visible box.
    QImage image = background.copy(QRect(picturePos(b, look == Look::Down), b.image));
    QPainter p(&image);
    const QRectF area(QPointF(0, 0), QSizeF(b.image));
    drawFace(p, area, look);

    const bool small = b.image.height() < 26;
    const QFont font = uiFont(12);
    p.setFont(font);
    const QColor color =
        b.greyWhenNormal && look == Look::Normal ? QColor(0xa0, 0x9a, 0x90) : kText;
    p.setPen(color);

    QRectF textArea = area;
    if (b.icon != Icon::None) {
        const qreal size = 26;
        const QRectF iconBox(8, (area.height() - size) / 2, size, size);
        drawIcon(p, b.icon, iconBox);
        textArea.setLeft(iconBox.right() + 4);
        textArea.setRight(area.right() - 6);
    }
    const QFontMetrics metrics(font);
    const int lineHeight = small ? metrics.height() : 15;
    const int top = int((area.height() - lineHeight * b.lines.size()) / 2);
    for (int i = 0; i < b.lines.size(); ++i) {
        const QRectF line(textArea.left(), top + i * lineHeight, textArea.width(), lineHeight);
        p.drawText(line, Qt::AlignHCenter | Qt::AlignVCenter, b.lines[i]);
    }
    return image;
}

// ---- windows ----

std::vector<Window> windows()
{
    std::vector<Window> list;
    list.push_back(
        {QStringLiteral("bg_main.png"),
         QStringLiteral("preview_main.png"),
         tovilo::layout::mainWindow::clientSize,
         mainBackground,
         {
             {tovilo::layout::mainWindow::addFile,
              {126, 38},
              false,
              {QStringLiteral("ファイル追加")},
              Icon::GreenPage},
             {tovilo::layout::mainWindow::addDvd,
              {126, 38},
              false,
              {QStringLiteral("DVDから変換")},
              Icon::BlueDisc},
             {tovilo::layout::mainWindow::listDelete,
              {65, 38},
              false,
              {QStringLiteral("選択削除")}},
             {tovilo::layout::mainWindow::config, {65, 38}, false, {QStringLiteral("設定")}},
             {tovilo::layout::mainWindow::convertCancel,
              {65, 21},
              true,
              {QStringLiteral("変換中止")},
              Icon::None,
              true},
             {tovilo::layout::mainWindow::convertPause,
              {65, 21},
              true,
              {QStringLiteral("一時停止")},
              Icon::None,
              true},
             {tovilo::layout::mainWindow::convertResume,
              {65, 21},
              true,
              {QStringLiteral("再開")},
              Icon::None,
              true,
              true},
             {tovilo::layout::mainWindow::convertMovie,
              {127, 38},
              false,
              {QStringLiteral("動画変換")},
              Icon::RedMonitor},
             {tovilo::layout::mainWindow::convertMovieToLibrary,
              {127, 38},
              false,
              {QStringLiteral("動画変換&"), QStringLiteral("iTunes 登録")},
              Icon::RedPlayer},
             {tovilo::layout::mainWindow::convertMusic,
              {127, 38},
              false,
              {QStringLiteral("音声変換")},
              Icon::BlueNote},
             {tovilo::layout::mainWindow::convertMusicToLibrary,
              {127, 38},
              false,
              {QStringLiteral("音声変換&"), QStringLiteral("iTunes 登録")},
              Icon::BluePlayer},
         }});
    list.push_back(
        {QStringLiteral("bg_selectdvd.png"),
         QStringLiteral("preview_selectdvd.png"),
         tovilo::layout::selectDvd::clientSize,
         selectDvdBackground,
         {
             {tovilo::layout::selectDvd::refresh, {65, 32}, false, {QStringLiteral("更新")}},
             {tovilo::layout::selectDvd::selectAll, {73, 32}, false, {QStringLiteral("全選択")}},
             {tovilo::layout::selectDvd::unselectAll,
              {85, 32},
              false,
              {QStringLiteral("全選択解除")}},
             {tovilo::layout::selectDvd::ok, {73, 38}, false, {QStringLiteral("OK")}},
             {tovilo::layout::selectDvd::cancel, {84, 38}, false, {QStringLiteral("キャンセル")}},
         }});
    list.push_back(
        {QStringLiteral("bg_config.png"),
         QStringLiteral("preview_config.png"),
         tovilo::layout::config::clientSize,
         configBackground,
         {
             {tovilo::layout::config::selectDir, {65, 32}, false, {QStringLiteral("選択")}},
             {tovilo::layout::config::ok, {65, 38}, false, {QStringLiteral("OK")}},
             {tovilo::layout::config::cancel, {83, 38}, false, {QStringLiteral("キャンセル")}},
         }});
    return list;
}

// Stand-ins for the Qt controls of each window, so the preview reads like the real thing.
void drawControls(QPainter& p, const QString& preview)
{
    auto box = [&](const QRect& r) {
        p.setPen(QColor(0x9a, 0x94, 0x86));
        p.setBrush(Qt::white);
        p.drawRect(r.adjusted(0, 0, -1, -1));
    };
    if (preview == QLatin1String("preview_main.png")) {
        box(tovilo::layout::mainWindow::fileList);
        p.fillRect(QRect(21, 64, 311, 18), QColor(0xf0, 0xee, 0xe8));
        p.setFont(uiFont(12));
        p.setPen(kText);
        p.drawText(QRect(26, 64, 170, 18), Qt::AlignVCenter, QStringLiteral("ファイル名"));
        p.drawText(QRect(206, 64, 110, 18), Qt::AlignVCenter, QStringLiteral("状態"));
    } else if (preview == QLatin1String("preview_selectdvd.png")) {
        box(tovilo::layout::selectDvd::driveList);
        box(tovilo::layout::selectDvd::chapterList);
    } else {
        box(tovilo::layout::config::quality);
        box(tovilo::layout::config::ratio);
        box(tovilo::layout::config::saveDir);
        box(tovilo::layout::config::codec);
        box(tovilo::layout::config::subtitle);
        box({107, 190, 13, 13});
    }
}

tovilo::PngImage asPng(const QImage& image)
{
    return tovilo::PngImage::fromImage(image.convertToFormat(QImage::Format_RGB888));
}

// The preview puts real image buttons over the background, so it shows what the windows
// will show, the faded idle stop button included.
void drawWindow(const Window& w)
{
    const QString images = g_root + QStringLiteral("/assets/images/");
    const QImage background = w.draw();
    saveRgb(background, images + w.background);

    QImage withControls = background;
    QPainter p(&withControls);
    drawControls(p, w.preview);
    p.end();
    QWidget window;
    window.resize(w.client);
    auto* bg = new QLabel(&window);
    bg->setGeometry(QRect(QPoint(0, 0), background.size()));
    bg->setPixmap(QPixmap::fromImage(withControls));

    for (const Button& b : w.buttons) {
        const QImage normal = drawButton(background, b, Look::Normal);
        const QImage over = drawButton(background, b, Look::Over);
        const QImage down = drawButton(background, b, Look::Down);
        saveRgb(normal,
                images + QString::fromLatin1(b.place.artwork) + QStringLiteral("_normal.png"));
        saveRgb(over, images + QString::fromLatin1(b.place.artwork) + QStringLiteral("_over.png"));
        saveRgb(down, images + QString::fromLatin1(b.place.artwork) + QStringLiteral("_down.png"));
        if (b.alternate)
            continue;

        auto* button = new TPNGButton(&window);
        button->setGeometry(b.place.rect);
        button->SetButtonStyle(pbsNoFrame);
        button->SetButtonLayout(b.imageLeft ? pbsImageLeft : pbsImageAbove);
        button->SetImageNormal(asPng(normal));
        button->SetImageOver(asPng(over));
        button->SetImageDown(asPng(down));
        button->setEnabled(!b.greyWhenNormal);
    }
    QImage preview(w.client, QImage::Format_RGB32);
    window.render(&preview);
    saveRgb(preview, g_root + QStringLiteral("/docs/") + w.preview);
}

// The program's mark: a play triangle over a portable player.
QImage appIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    const QRectF body(6 * s, 1 * s, 18 * s, 29 * s);
    p.setPen(size >= 32 ? QPen(QColor(0x96, 0x1c, 0x1c), std::max(1.0, s * 0.8)) : Qt::NoPen);
    p.setBrush(shade(body, QColor(0xf2, 0x72, 0x66), QColor(0xc2, 0x28, 0x24)));
    p.drawPath(roundedRect(body, 4 * s));
    const QRectF screen(body.left() + 3 * s, body.top() + 3 * s, 12 * s, 10 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(shade(screen, QColor(0xf4, 0xfa, 0xff), QColor(0xc9, 0xdc, 0xec)));
    p.drawPath(roundedRect(screen, 1.5 * s));
    const QPointF wheel(body.center().x(), body.top() + 21 * s);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(wheel, 5.5 * s, 5.5 * s);
    p.setBrush(QColor(0xd8, 0x45, 0x3e));
    p.drawEllipse(wheel, 2 * s, 2 * s);

    // The play badge sits over the lower right corner of the player.
    const QPointF c(23 * s, 22.5 * s);
    const qreal r = 8.5 * s;
    p.setPen(QPen(Qt::white, std::max(1.0, 1.5 * s)));
    QRadialGradient g(c - QPointF(2 * s, 3 * s), r * 1.4);
    g.setColorAt(0, QColor(0x8e, 0xd8, 0x63));
    g.setColorAt(1, QColor(0x2e, 0x8b, 0x3a));
    p.setBrush(g);
    p.drawEllipse(c, r, r);
    QPolygonF play;
    play << c + QPointF(-2.8 * s, -4.3 * s) << c + QPointF(4.6 * s, 0)
         << c + QPointF(-2.8 * s, 4.3 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPolygon(play);
    return image;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 2)
        fail(QStringLiteral("usage: tovilo_draw_artwork <repository>"));
    g_root = QString::fromLocal8Bit(argv[1]);
    if (QFontInfo(uiFont(12)).family() != kFontFamily)
        fail(QStringLiteral("the font %1 is missing (install fonts-ipafont-gothic)")
                 .arg(kFontFamily));
    for (const char* dir : {"/assets/images", "/assets/icons", "/docs"})
        QDir().mkpath(g_root + QLatin1String(dir));

    for (const Window& w : windows())
        drawWindow(w);
    for (int size : {16, 32, 48, 64, 128, 256})
        saveRgba(appIcon(size), g_root + QStringLiteral("/assets/icons/app_icon_%1.png").arg(size));
    saveRgba(appIcon(64), g_root + QStringLiteral("/assets/images/app_icon.png"));
    return 0;
}
