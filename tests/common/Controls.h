#pragma once

// Tests reach a window as a user does: through its controls, each of which carries its
// field's name as its object name, and by dropping files on them.
#include <QApplication>
#include <QDropEvent>
#include <QMimeData>

namespace tovilo::test {

// The control `name` of `window`; a missing one ends the run naming it, not with a null pointer.
template <typename T> T* control(const QObject& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
    if (found == nullptr)
        qFatal("%s has no %s named %s", qPrintable(window.objectName()),
               T::staticMetaObject.className(), name);
    return found;
}

// Drags `mime` onto `target` and drops it there as the desktop does; whether the drop was taken.
inline bool dropOn(QWidget* target, const QMimeData& mime)
{
    const QPoint at(20, 20);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

} // namespace tovilo::test
