// Renders both dialogs into selectdvd.png and config.png, the chapter dialog with a drive
// holding a DVD-Video authored for the purpose (dvdauthor and ffmpeg are needed):
//   shot_dialogs <output folder> [disc folder, made anew]
#include "app/AppWindows.h"
#include "common/DialogTestSupport.h"
#include "common/DvdDiscs.h"
#include "platform/CodePage.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QTemporaryDir>

#include <cstdio>

using namespace tovilo;
using namespace tovilo::test;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    const QString output = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(output);

    QTemporaryDir temp;
    const QString disc = QDir::cleanPath(argc > 2 ? QString::fromLocal8Bit(argv[2])
                                                  : temp.filePath(QStringLiteral("DVD_VIDEO")));
    QDir(disc).removeRecursively();
    if (const QString error = authorDvdVideo(disc); !error.isEmpty()) {
        std::fprintf(stderr, "shot_dialogs: %s\n", qPrintable(error));
        return 1;
    }
    QDir(temp.path()).mkpath(QStringLiteral("Documents"));

    FakePrompt prompt;
    FakeShell shell;
    shell.documents = fromUtf16(temp.filePath(QStringLiteral("Documents")));
    FakeDrives drives;
    drives.add(fromUtf16(disc) + '/', "DVD_VIDEO", true);
    drives.add("/dev/sr1", "", false);
    NoMediaDevice noDevice;
    const Services services{prompt, shell, drives, noDevice};

    AppWindows windows(services);
    TFormMain& main = windows.formMain;
    TFormSelectDVD& selectDvd = windows.formSelectDVD;
    TFormConfig& config = windows.formConfig;
    main.show();

    selectDvd.show();
    selectDvd.LBChapter->item(1)->setSelected(true);
    QApplication::processEvents();
    if (!selectDvd.grab().save(output + QStringLiteral("/selectdvd.png")))
        return 1;
    if (qEnvironmentVariableIsSet("SHOT_DRIVE_POPUP")) {
        selectDvd.CBDriveList->showPopup();
        QApplication::processEvents();
        selectDvd.CBDriveList->view()->window()->grab().save(output +
                                                             QStringLiteral("/drive_popup.png"));
    }
    selectDvd.hide();

    tovilo::ConversionSettings settings;
    settings.Quality = 3;
    settings.Ratio = 1;
    settings.SaveDir = "/home/user/ビデオ/iPod/";
    settings.OpenDir = true;
    config.EditedSettings = settings;
    config.SettingsToControls();
    config.show();
    QApplication::processEvents();
    return config.grab().save(output + QStringLiteral("/config.png")) ? 0 : 1;
}
