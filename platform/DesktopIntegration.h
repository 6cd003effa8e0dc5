#pragma once

#include "platform/DesktopService.h"

#include <QString>

class QCoreApplication;

namespace tovilo {

// Speaks to the session bus: com.canonical.Unity.LauncherEntry (KDE Plasma's task manager,
// Ubuntu's dock and others) and org.freedesktop.Notifications. Nothing is waited for, and
// without a session bus every call does nothing.
class DBusDesktopService : public DesktopService
{
public:
    // desktopId: the installed .desktop file's name without ".desktop"; iconName: the
    // installed icon's name.
    explicit DBusDesktopService(QString desktopId = QStringLiteral("tovilo"),
                                QString iconName = QStringLiteral("tovilo"));

    void showProgress(double fraction, qint64 jobsLeft) override;
    void clearProgress() override;
    void notify(const QString& summary, const QString& body) override;

private:
    QString m_desktopId;
    QString m_iconName;
};

// Loads Qt's Japanese texts for its own dialogs and buttons into the application; the whole
// program is Japanese whatever the user's locale. False when the translations are missing.
bool installQtTranslations(QCoreApplication& app);

} // namespace tovilo
