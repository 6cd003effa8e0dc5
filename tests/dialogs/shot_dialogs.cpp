// Renders both dialogs, with a fake drive holding a few chapters, into PNG files to look at:
//   shot_dialogs <output folder>
#include "DialogTestSupport.h"
#include "app/UnitMain.h"
#include "dialogs/UnitConfig.h"
#include "dialogs/UnitSelectDVD.h"
#include "platform/CodePage.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QTemporaryDir>

using namespace tovilo;
using namespace tovilo::test;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    const QString output = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();

    QTemporaryDir temp;
    const QString disc = temp.filePath(QStringLiteral("DVD_VIDEO"));
    for (const char* file :
         {"VIDEO_TS/VIDEO_TS.VOB", "VIDEO_TS/VTS_01_0.VOB", "VIDEO_TS/VTS_01_1.VOB",
          "VIDEO_TS/VTS_01_2.VOB", "VIDEO_TS/VTS_02_1.VOB", "VIDEO_TS/VTS_02_2.VOB"})
        touch(disc + QLatin1Char('/') + QLatin1String(file));
    QDir(temp.path()).mkpath(QStringLiteral("Documents"));

    FakePrompt prompt;
    FakeShell shell;
    shell.documents = fromUtf16(temp.filePath(QStringLiteral("Documents")));
    FakeDrives drives;
    drives.add(fromUtf16(disc) + '/', "DVD_VIDEO", true);
    drives.add("/dev/sr1", "", false);
    NoMediaDevice noDevice;
    const Services services{prompt, shell, drives, noDevice};

    TFormMain main(services);
    TFormSelectDVD selectDvd(
        services, [&main](const QByteArray& root) { return main.IsDriveReady(root); }, &main);
    TFormConfig config(services, &main);
    main.SetDialogs(&selectDvd, &config);
    main.show();

    selectDvd.show();
    selectDvd.LBChapter->item(1)->setSelected(true);
    selectDvd.LBChapter->item(2)->setSelected(true);
    QApplication::processEvents();
    selectDvd.grab().save(output + QStringLiteral("/screenshot_selectdvd.png"));
    if (qEnvironmentVariableIsSet("SHOT_DRIVE_POPUP")) {
        selectDvd.CBDriveList->showPopup();
        QApplication::processEvents();
        selectDvd.CBDriveList->view()->window()->grab().save(output +
                                                             QStringLiteral("/drive_popup.png"));
    }
    selectDvd.hide();

    ThConvertInfoObjectList settings;
    settings.Quality = 3;
    settings.Ratio = 1;
    settings.SaveDir = "/home/user/ビデオ/iPod/";
    settings.OpenDir = true;
    config.EditedList = &settings;
    config.SettingsToControls();
    config.show();
    QApplication::processEvents();
    config.grab().save(output + QStringLiteral("/screenshot_config.png"));
    return 0;
}
