#pragma once

// Shared by the dialog tests: a shell that records the folder browser's title, and running a
// script while a dialog is shown modally.
#include "FakeServices.h"
#include "devices/OpticalDrives.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <functional>

namespace tovilo::test {

class RecordingShell : public FakeShell
{
public:
    QStringList browseTitles;

    std::optional<QString> browseForFolder(QWidget* owner, const QString& title) override
    {
        browseTitles.append(title);
        return FakeShell::browseForFolder(owner, title);
    }
};

// Creates an empty file and the folders above it.
inline bool touch(const QString& path)
{
    QFileInfo(path).dir().mkpath(QStringLiteral("."));
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// Runs `script` once `dialog` is the modal window, then makes sure the dialog is closed (a
// failed check inside the script must not leave the test hanging in the dialog's loop).
// `open` is what shows the dialog modally; it returns when the dialog has closed.
inline bool runModal(QDialog* dialog, const std::function<void()>& script,
                     const std::function<void()>& open, const std::function<void()>& forceClose)
{
    bool reached = false;
    QTimer::singleShot(0, dialog, [&] {
        reached = QTest::qWaitFor([dialog] {
            // The user acts in the dialog once it is the active window.
            return dialog->isVisible() && qApp->activeModalWidget() == dialog &&
                   dialog->isActiveWindow();
        });
        if (reached)
            script();
        if (dialog->isVisible())
            forceClose();
    });
    open();
    return reached;
}

} // namespace tovilo::test
