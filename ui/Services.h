#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QWidget;

namespace tovilo {

class DriveService;
class MediaLibraryFactory;

// Modal message boxes owned by a window, without icon: "情報" with OK, "確認" with Yes and No.
class PromptService
{
public:
    virtual ~PromptService() = default;
    virtual void information(QWidget* owner, const QString& text) = 0;
    // True when the user answered Yes.
    virtual bool confirm(QWidget* owner, const QString& text) = 0;
};

// The desktop: user folders, file and folder choosers, opening a folder, raising a window.
class ShellService
{
public:
    virtual ~ShellService() = default;
    // The user's Documents folder, in the system code page (trailing "/" optional).
    virtual QByteArray documentsFolder() = 0;
    // One video file chosen in the open dialog (it need not exist), or nothing on cancel.
    virtual std::optional<QString> chooseVideoFile(QWidget* owner,
                                                   const QString& initialFolder) = 0;
    // A folder chosen in the folder browser, or nothing on cancel.
    virtual std::optional<QString> browseForFolder(QWidget* owner, const QString& title) = 0;
    virtual void openFolder(const QString& path) = 0;
    // Brings the window to the front, restoring it when minimised.
    virtual void restoreAndActivate(QWidget* window) = 0;
};

// Everything the windows get from outside; tests put fakes in place.
struct Services
{
    PromptService* prompt = nullptr;
    ShellService* shell = nullptr;
    DriveService* drives = nullptr;
    MediaLibraryFactory* mediaLibrary = nullptr;
};

} // namespace tovilo
