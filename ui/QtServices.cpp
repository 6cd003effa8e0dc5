#include "ui/QtServices.h"

#include "platform/CodePage.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

namespace tovilo {

namespace {

// Japanese button texts, as the user's system would show them.
void localiseButtons(QMessageBox& box)
{
    for (QAbstractButton* button : box.buttons())
        button->setIcon(QIcon());
    if (auto* ok = box.button(QMessageBox::Ok))
        ok->setText(QStringLiteral("OK"));
    if (auto* yes = box.button(QMessageBox::Yes))
        yes->setText(QStringLiteral("はい(&Y)"));
    if (auto* no = box.button(QMessageBox::No))
        no->setText(QStringLiteral("いいえ(&N)"));
}

int runBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, caption, text, buttons, owner);
    box.setWindowModality(Qt::ApplicationModal);
    localiseButtons(box);
    return box.exec();
}

} // namespace

void QtPromptService::information(QWidget* owner, const QString& text)
{
    runBox(owner, QMessageBox::NoIcon, QStringLiteral("情報"), text, QMessageBox::Ok);
}

bool QtPromptService::confirm(QWidget* owner, const QString& text)
{
    return runBox(owner, QMessageBox::NoIcon, QStringLiteral("確認"), text,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void showFrameworkErrorBox(QWidget* owner, const QString& text)
{
    runBox(owner, QMessageBox::Critical, QStringLiteral("Tovilo"), text, QMessageBox::Ok);
}

QByteArray QtShellService::documentsFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    // A new account may have no Documents folder yet; the data folder then goes into the home
    // folder, where it can be created, instead of a path whose parent is missing.
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    return fromUtf16(folder);
}

QStringList QtShellService::chooseVideoFiles(QWidget* owner, const QString& initialFolder)
{
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Several files at once (Shift, Ctrl); Qt's dialog then wants every typed name to exist.
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setDirectory(initialFolder);
    // Extensions match whatever their letter case, as users of the original platform expect.
    dialog.setNameFilter(QStringLiteral("動画ファイル (*.[aA][vV][iI] *.[fF][lL][vV] "
                                        "*.[mM][pP][gG] *.[mM][pP][eE][gG] *.3[gG][pP])"));
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.selectFile(QString());
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

std::optional<QString> QtShellService::browseForFolder(QWidget* owner, const QString& title)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString folder = QFileDialog::getExistingDirectory(
        owner, title, QDir(desktop).exists() ? desktop : QDir::homePath(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

void QtShellService::openFolder(const QString& path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void QtShellService::restoreAndActivate(QWidget* window)
{
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace tovilo
