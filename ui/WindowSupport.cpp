#include "ui/WindowSupport.h"

#include <QFont>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWidget>

namespace tovilo {

QFont dialogFont()
{
    return QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9);
}

TPNGButton* createImageButton(QWidget* parent, const char* objectName,
                              const layout::ButtonPlace& place, TPNGButtonLayout style)
{
    return ::createImageButton(parent, objectName, place.artwork, place.rect, style);
}

QLabel* createBackground(QWidget* parent, const QSize& size, const QString& resource)
{
    auto* background = new QLabel(parent);
    background->setObjectName(QStringLiteral("ImageBG"));
    background->setGeometry(QRect(QPoint(0, 0), size));
    background->setPixmap(QPixmap(resource));
    return background;
}

void centreOnOwner(QWidget* dialog, QWidget* owner)
{
    QScreen* screen = owner != nullptr ? owner->screen() : dialog->screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen != nullptr ? screen->availableGeometry() : QRect();
    const QPoint centre = owner != nullptr && owner->isVisible() ? owner->frameGeometry().center()
                                                                 : available.center();
    QRect frame = dialog->frameGeometry();
    frame.moveCenter(centre);
    if (available.isValid()) {
        // A main window near a screen edge must not push the dialog's title bar off screen.
        frame.moveRight(qMin(frame.right(), available.right()));
        frame.moveBottom(qMin(frame.bottom(), available.bottom()));
        frame.moveLeft(qMax(frame.left(), available.left()));
        frame.moveTop(qMax(frame.top(), available.top()));
    }
    dialog->move(frame.topLeft());
}

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {}

void ClickLabel::mousePressEvent(QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    event->accept();
    if (click)
        emit clicked();
}

} // namespace tovilo
