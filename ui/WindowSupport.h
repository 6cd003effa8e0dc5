#pragma once

#include "ui/Layout.h"
#include "widgets/pngextra.h"

#include <QLabel>

class QWidget;

namespace tovilo {

// The face and font the two dialogs were designed with; the program substitutes a
// metric-compatible font for it.
QFont dialogFont();

// Places `dialog` so that its frame is centred on `owner`'s frame (on the screen when there
// is no owner), kept inside the owner's screen.
void centreOnOwner(QWidget* dialog, QWidget* owner);

// The picture button at its place in the window's layout.
TPNGButton* createImageButton(QWidget* parent, const char* objectName,
                              const layout::ButtonPlace& place,
                              TPNGButtonLayout style = pbsImageAbove);

// The window's background picture at the top left, `size` large (it may exceed the window).
QLabel* createBackground(QWidget* parent, const QSize& size, const QString& resource);

// A label that reports a left click (press and release inside it), such as the caption of a
// check box painted into a background picture.
class ClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ClickLabel(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};

} // namespace tovilo
