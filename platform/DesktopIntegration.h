#pragma once

#include <QString>
#include <QtGlobal>

class QCoreApplication;

namespace tovilo {

// The desktop around the main window: the queue's progress on the task bar or dock, and
// notices for a user who is looking elsewhere.
class DesktopService
{
public:
    virtual ~DesktopService() = default;
    // fraction: 0..1 of the whole queue; jobsLeft counts the running job too.
    virtual void showProgress(double fraction, qint64 jobsLeft) = 0;
    virtual void clearProgress() = 0;
    virtual void notify(const QString& summary, const QString& body) = 0;
};

// Shows nothing anywhere: for windows that are given no desktop.
DesktopService& noDesktop();

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
