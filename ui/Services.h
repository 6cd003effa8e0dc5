#pragma once

#include "platform/DesktopService.h"
#include "platform/DriveService.h"
#include "platform/MediaLibraryFactory.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>

class QWidget;

namespace tovilo {

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
    // The video files chosen in the open dialog, in the dialog's order; empty on cancel.
    virtual QStringList chooseVideoFiles(QWidget* owner, const QString& initialFolder) = 0;
    // A folder chosen in the folder browser, or nothing on cancel.
    virtual std::optional<QString> browseForFolder(QWidget* owner, const QString& title) = 0;
    virtual void openFolder(const QString& path) = 0;
    // Brings the window to the front, restoring it when minimised.
    virtual void restoreAndActivate(QWidget* window) = 0;
};

// A service the window uses, made from a reference so that it is never null: a caller that
// has no such service passes an object that does nothing.
template <typename Service> class ServiceRef
{
public:
    // Implicit, so a Services object is written as {prompt, shell, drives, mediaLibrary}.
    ServiceRef(Service& service) : m_service(&service) {}
    ServiceRef(std::nullptr_t) = delete;

    Service* operator->() const { return m_service; }
    Service& operator*() const { return *m_service; }

private:
    Service* m_service;
};

// Everything the windows get from outside; tests put fakes in place.
struct Services
{
    ServiceRef<PromptService> prompt;
    ServiceRef<ShellService> shell;
    ServiceRef<DriveService> drives;
    ServiceRef<MediaLibraryFactory> mediaLibrary;
    // Windows given no desktop keep the queue's progress to themselves.
    ServiceRef<DesktopService> desktop = noDesktop();
};

} // namespace tovilo
