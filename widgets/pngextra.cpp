#include "widgets/pngextra.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionButton>
#include <qdrawutil.h>

using tovilo::PngImage;

TPNGButton::TPNGButton(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    // Moves without a button held drive MouseInside too.
    setMouseTracking(true);
    resize(23, 23);
}

void TPNGButton::SetButtonStyle(TPNGButtonStyle style)
{
    m_buttonStyle = style;
    repaint();
}

void TPNGButton::SetCaption(const QString& caption)
{
    m_caption = caption;
    repaint();
}

void TPNGButton::SetButtonLayout(TPNGButtonLayout layout)
{
    m_buttonLayout = layout;
    repaint();
}

void TPNGButton::SetButtonState(TPNGButtonState state)
{
    m_buttonState = state;
    repaint();
}

void TPNGButton::SetImageDown(const PngImage& image)
{
    m_imageDown = image;
    repaint();
}

void TPNGButton::SetImageNormal(const PngImage& image)
{
    m_imageNormal = image;
    MakeDisabledImage();
    repaint();
}

void TPNGButton::SetImageOver(const PngImage& image)
{
    m_imageOver = image;
    repaint();
}

void TPNGButton::MakeDisabledImage()
{
    m_imageDisabled = m_imageNormal;
    m_imageDisabled.addOpaqueAlpha();
    // A palette image has no alpha channel to fade and is shown as it is.
    if (m_imageDisabled.colorType() != PngImage::ColorType::Palette)
        m_imageDisabled.divideAlpha(3);
}

void TPNGButton::Paint(QPainter& painter)
{
    painter.setFont(font());
    const bool pressed = m_buttonState == pbsDown && m_mouseInside;

    const PngImage* picture = &m_imageNormal;
    if (pressed && !m_imageDown.isEmpty())
        picture = &m_imageDown;
    else if (m_mouseInside && !m_imageOver.isEmpty() && isEnabled())
        picture = &m_imageOver;
    else if (m_buttonState == pbsDisabled && !m_imageDisabled.isEmpty())
        picture = &m_imageDisabled;

    int iw = picture->width();
    int ih = picture->height();
    int tw = 0;
    int th = 0;
    if (!m_caption.isEmpty()) {
        tw = painter.fontMetrics().horizontalAdvance(m_caption);
        th = painter.fontMetrics().height();
        ih += 4;
    }
    const int off = pressed ? 2 : 0;
    const int w = width();
    const int h = height();

    // C++ division truncates toward zero, which is what the layout wants.
    int px = (w - iw) / 2 + off;
    int tx = (w - tw) / 2 + off;
    int ty = (h - th) / 2;
    int py = (h - ih) / 2;
    switch (m_buttonLayout) {
    case pbsImageAbove:
        py = (h - ih - th) / 2;
        ty = py + ih;
        break;
    case pbsImageBellow:
        ty = (h - ih - th) / 2;
        py = ty + th;
        break;
    case pbsImageLeft:
        px = (w - iw - tw) / 2;
        tx = px + iw + 5;
        break;
    case pbsImageRight:
        tx = (w - iw - tw) / 2;
        px = tx + tw + 5;
        break;
    }
    py += off;
    ty += off;

    QRect r = rect();
    drawFrame(painter, r, pressed);
    picture->draw(painter, QPoint(px, py));

    if (!m_caption.isEmpty()) {
        const QPalette::ColorGroup group =
            m_buttonState == pbsDisabled ? QPalette::Disabled : QPalette::Active;
        painter.setPen(palette().color(group, QPalette::WindowText));
        painter.setClipRect(r);
        painter.drawText(QPoint(tx, ty + painter.fontMetrics().ascent()), m_caption);
    }
}

void TPNGButton::drawFrame(QPainter& painter, QRect& rect, bool pressed)
{
    switch (m_buttonStyle) {
    case pbsFlat:
        if (m_buttonState == pbsDisabled)
            return;
        if (!pressed && !m_mouseInside && m_buttonState != pbsDown)
            return;
        qDrawShadePanel(&painter, rect, palette(), pressed, 1);
        rect.adjust(1, 1, -1, -1);
        return;
    case pbsDefault: {
        QStyleOptionButton option;
        option.initFrom(this);
        option.rect = rect;
        option.state &= ~QStyle::State_HasFocus;
        option.state |= pressed ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, this);
        return;
    }
    case pbsNoFrame:
        return;
    }
}

void TPNGButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Paint(painter);
}

void TPNGButton::pressed(QMouseEvent* event)
{
    if (m_buttonState == pbsUp && event->button() == Qt::LeftButton)
        SetButtonState(pbsDown);
    if (OnMouseDown) {
        const QPoint p = event->position().toPoint();
        OnMouseDown(this, event->button(), event->modifiers(), p.x(), p.y());
    }
}

void TPNGButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_clickPending = true;
    pressed(event);
}

void TPNGButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click raises OnDblClick instead of a second click.
    if (event->button() == Qt::LeftButton && OnDblClick) {
        QPointer<TPNGButton> self(this);
        OnDblClick(this);
        if (!self)
            return;
    }
    pressed(event);
}

void TPNGButton::mouseReleaseEvent(QMouseEvent* event)
{
    QPointer<TPNGButton> self(this);
    const QPoint p = event->position().toPoint();
    if (event->button() == Qt::LeftButton && m_clickPending) {
        m_clickPending = false;
        if (rect().contains(p)) {
            if (m_buttonState == pbsDown)
                SetButtonState(pbsUp);
            // A click handler may disable, hide or even delete its own button.
            if (OnClick)
                OnClick(this);
            if (!self)
                return;
            emit clicked(this);
            if (!self)
                return;
        }
    }
    if (m_buttonState == pbsDown)
        SetButtonState(pbsUp);
    if (OnMouseUp)
        OnMouseUp(this, event->button(), event->modifiers(), p.x(), p.y());
}

void TPNGButton::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    const bool inside = rect().contains(p);
    // While a button is held the widget has the mouse grabbed and Qt holds back enter and
    // leave until the release, so crossing the edge is reported here.
    if (event->buttons() != Qt::NoButton && inside != m_pointerOver) {
        if (inside)
            pointerEntered();
        else
            pointerLeft();
    }
    if (inside && !m_mouseInside && m_buttonState != pbsDown) {
        m_mouseInside = true;
        repaint();
    }
    if (OnMouseMove)
        OnMouseMove(this, event->buttons(), event->modifiers(), p.x(), p.y());
}

void TPNGButton::enterEvent(QEnterEvent*)
{
    pointerEntered();
}

void TPNGButton::leaveEvent(QEvent*)
{
    pointerLeft();
}

void TPNGButton::pointerEntered()
{
    if (m_pointerOver)
        return;
    m_pointerOver = true;
    if (!isEnabled())
        return;
    if (OnMouseEnter)
        OnMouseEnter(this);
    m_mouseInside = true;
    repaint();
}

void TPNGButton::pointerLeft()
{
    if (!m_pointerOver)
        return;
    m_pointerOver = false;
    // Leaving a disabled button is not noticed: MouseInside stays as it was.
    if (!isEnabled())
        return;
    if (OnMouseExit)
        OnMouseExit(this);
    m_mouseInside = false;
    repaint();
}

void TPNGButton::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::EnabledChange)
        return;
    if (!isEnabled()) {
        m_clickPending = false;
        MakeDisabledImage();
    }
    SetButtonState(isEnabled() ? pbsUp : pbsDisabled);
}

void LoadButtonImages(TPNGButton* button, const QString& name)
{
    const QString base = QStringLiteral(":/artwork/") + name;
    button->SetImageNormal(PngImage::fromFile(base + QStringLiteral("_normal.png")));
    button->SetImageOver(PngImage::fromFile(base + QStringLiteral("_over.png")));
    button->SetImageDown(PngImage::fromFile(base + QStringLiteral("_down.png")));
}

TPNGButton* createImageButton(QWidget* parent, const char* objectName, const char* artwork,
                              const QRect& geometry, TPNGButtonLayout layout)
{
    auto* button = new TPNGButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setGeometry(geometry);
    button->SetButtonStyle(pbsNoFrame);
    button->SetButtonLayout(layout);
    LoadButtonImages(button, QLatin1String(artwork));
    return button;
}
