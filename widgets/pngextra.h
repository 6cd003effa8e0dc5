#pragma once

#include "widgets/PngImage.h"

#include <QString>
#include <QWidget>

#include <functional>

enum TPNGButtonLayout : quint8
{
    pbsImageAbove = 0,
    pbsImageBellow = 1,
    pbsImageLeft = 2,
    pbsImageRight = 3,
};

enum TPNGButtonStyle : quint8
{
    pbsDefault = 0,
    pbsFlat = 1,
    pbsNoFrame = 2,
};

enum TPNGButtonState : quint8
{
    pbsUp = 0,
    pbsDown = 1,
    pbsDisabled = 2,
};

class TPNGButton;

using TNotifyEvent = std::function<void(TPNGButton* Sender)>;
using TMouseEvent = std::function<void(TPNGButton* Sender, Qt::MouseButton Button,
                                       Qt::KeyboardModifiers Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TPNGButton* Sender, Qt::MouseButtons Buttons,
                                           Qt::KeyboardModifiers Shift, int X, int Y)>;

// Push button drawn from PNG images (normal, pointer over, pressed, and a faded copy of the
// normal one while disabled), with an optional caption. It never takes the keyboard focus.
class TPNGButton : public QWidget
{
    Q_OBJECT

public:
    explicit TPNGButton(QWidget* parent = nullptr);

    TPNGButtonStyle ButtonStyle() const { return m_buttonStyle; }
    void SetButtonStyle(TPNGButtonStyle style);
    bool MouseInside() const { return m_mouseInside; }
    const QString& Caption() const { return m_caption; }
    void SetCaption(const QString& caption);
    TPNGButtonLayout ButtonLayout() const { return m_buttonLayout; }
    void SetButtonLayout(TPNGButtonLayout layout);
    TPNGButtonState ButtonState() const { return m_buttonState; }
    void SetButtonState(TPNGButtonState state);

    const tovilo::PngImage& ImageDown() const { return m_imageDown; }
    void SetImageDown(const tovilo::PngImage& image);
    const tovilo::PngImage& ImageNormal() const { return m_imageNormal; }
    void SetImageNormal(const tovilo::PngImage& image);
    const tovilo::PngImage& ImageDisabled() const { return m_imageDisabled; }
    const tovilo::PngImage& ImageOver() const { return m_imageOver; }
    void SetImageOver(const tovilo::PngImage& image);

    // Font, Visible and Enabled are the widget's own (font(), setVisible(), setEnabled()),
    // and so is the hint (toolTip()).
    int Tag() const { return m_tag; }
    void SetTag(int tag) { m_tag = tag; }

    void MakeDisabledImage();
    void Paint(QPainter& painter);

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseExit;

signals:
    void clicked(TPNGButton* Sender);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void pressed(QMouseEvent* event);
    void pointerEntered();
    void pointerLeft();
    void drawFrame(QPainter& painter, QRect& rect, bool pressed);

    TPNGButtonStyle m_buttonStyle = pbsDefault;
    bool m_mouseInside = false;
    QString m_caption;
    TPNGButtonLayout m_buttonLayout = pbsImageAbove;
    TPNGButtonState m_buttonState = pbsUp;
    tovilo::PngImage m_imageDown;
    tovilo::PngImage m_imageNormal;
    tovilo::PngImage m_imageDisabled;
    tovilo::PngImage m_imageOver;
    int m_tag = 0;
    // A left press on the button whose release may still become a click.
    bool m_clickPending = false;
    // Whether enter was reported last (rather than leave), so each notification comes once.
    bool m_pointerOver = false;
};

// Sets the normal, pointer-over and pressed images from the resources
// :/artwork/<name>_normal.png, :/artwork/<name>_over.png and :/artwork/<name>_down.png.
void LoadButtonImages(TPNGButton* button, const QString& name);

// A frameless image button of a window, placed at `geometry`, with the images of `artwork`.
TPNGButton* createImageButton(QWidget* parent, const char* objectName, const char* artwork,
                              const QRect& geometry, TPNGButtonLayout layout = pbsImageAbove);
