// Program entry: one instance per session, the three windows in their fixed order, the loop.
#include "app/AppWindows.h"
#include "devices/MediaLibrary.h"
#include "devices/OpticalDrives.h"
#include "devices/ScratchFolders.h"
#include "devices/UDisks2Devices.h"
#include "engine/QueueSettings.h"
#include "platform/CodePage.h"
#include "platform/DesktopIntegration.h"
#include "platform/InstanceLock.h"
#include "platform/LogindInhibitor.h"
#include "platform/TerminationSignals.h"
#include "ui/FrameworkError.h"
#include "ui/QtServices.h"

#include <QApplication>
#include <QFont>
#include <QIcon>

#include <cerrno>
#include <csignal>

namespace {

// Errors that escape an event handler end in the framework error box; the program goes on.
class TovApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& error) {
            tovilo::reportException(error);
        } catch (...) {
            tovilo::reportFrameworkError(QStringLiteral("Unknown error"));
        }
        return false;
    }
};

} // namespace

int main(int argc, char* argv[])
{
    // A child that ends while input is written to it must not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    TovApplication app(argc, argv); // also reads the user's locale
    tovilo::setSystemCodePage(tovilo::detectSystemCodePage());
    QApplication::setApplicationName(QStringLiteral("Tovilo"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tovilo"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/artwork/app_icon.png")));
    // The windows are laid out for this font; IPAPGothic has the same metrics.
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    // Qt's own dialogs (open, folder browser) speak Japanese like the rest of the program.
    tovilo::installQtTranslations(app);

    // Asked to end (logout, kill, a closed terminal), the program leaves its loop and exits
    // with 0; once the window exists, a running conversion is stopped first.
    tovilo::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &tovilo::TerminationSignals::received, &app,
                     [] { QCoreApplication::exit(0); });

    tovilo::QtPromptService prompt;
    tovilo::QtShellService shell;
    // The lock lives beside the kept queue: instances that see the same queue exclude each
    // other whatever their environment. Where it cannot, the queue is not kept this run.
    const tovilo::DataFolders folders = tovilo::prepareDataFolders(shell.documentsFolder());
    tovilo::InstanceLockResult lock = tovilo::acquireQueueLock(folders.data);
    const int queueNotKept = lock == tovilo::InstanceLockResult::Unavailable ? errno : 0;
    if (lock == tovilo::InstanceLockResult::Unavailable)
        lock = tovilo::acquireInstanceLock("TOVILO_RUNNING");
    if (lock == tovilo::InstanceLockResult::HeldElsewhere) {
        prompt.information(nullptr, QStringLiteral("既に起動しています"));
        return 0;
    }
    // What a killed hand-over left behind; ours alone now that no other instance runs.
    tovilo::removeStaleScratchFolders();

    tovilo::LinuxDriveService drives;
    // The desktop's own view of plugged-in devices; the mount table where it does not answer.
    tovilo::UDisks2Devices devices;
    tovilo::IpodLibraryFactory mediaLibrary(QStringLiteral("/proc/self/mountinfo"), &devices);
    tovilo::DBusDesktopService desktop;
    tovilo::LogindInhibitor sleep;
    tovilo::Services services{prompt, shell, drives, mediaLibrary, desktop, devices, sleep};
    services.keepQueue = queueNotKept == 0;
    services.queueNotKept = queueNotKept;

    TFormMain* mainWindow = nullptr;
    tovilo::setFrameworkErrorReporter(
        [&mainWindow](const QString& text) { tovilo::showFrameworkErrorBox(mainWindow, text); });

    AppWindows windows(services);
    TFormMain& formMain = windows.formMain;
    mainWindow = &formMain;
    terminationSignals.disconnect(&app);
    QObject::connect(&terminationSignals, &tovilo::TerminationSignals::received, &formMain,
                     &TFormMain::stopAndQuit);
    formMain.show();
    app.exec();
    tovilo::setFrameworkErrorReporter({});
    return 0;
}
