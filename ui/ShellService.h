#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace tovilo {

// The desktop: user folders, file and folder choosers, opening a folder, raising a window.
class ShellService
{
public:
    virtual ~ShellService() = default;
    // The user's Documents folder, in the system code page (trailing "/" optional).
    virtual QByteArray documentsFolder() = 0;
    // The video files chosen in the open dialog, in the dialog's order; empty on cancel.
    virtual QStringList chooseVideoFiles(QWidget* owner, const QString& initialFolder) = 0;
    // A folder chosen in the folder browser, or nothing on cancel.
    virtual std::optional<QString> browseForFolder(QWidget* owner, const QString& title) = 0;
    virtual void openFolder(const QString& path) = 0;
    // Brings the window to the front, restoring it when minimised.
    virtual void restoreAndActivate(QWidget* window) = 0;
};

} // namespace tovilo
