#include "ui/QtServices.h"

#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "queue/VideoFormats.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

#include <algorithm>

namespace tovilo {

namespace {

// The open dialog's only filter: one pattern per extension, in any case.
QString videoNameFilter()
{
    // Qt's patterns are case-sensitive on Linux; users of the original platform expect
    // CLIP.AVI and clip.avi alike.
    QStringList patterns;
    for (const QByteArray& extension : videoExtensions) {
        QString pattern = QStringLiteral("*.");
        for (const char c : extension.mid(1)) {
            const QChar upper = QLatin1Char(c);
            const QChar lower = upper.toLower();
            pattern += upper == lower ? QString(upper) : QStringLiteral("[%1%2]").arg(lower, upper);
        }
        patterns << pattern;
    }
    return videoFilesFilterText(patterns);
}

// Japanese button texts, as the user's system would show them.
void localiseButtons(QMessageBox& box)
{
    for (QAbstractButton* button : box.buttons())
        button->setIcon(QIcon());
    if (auto* ok = box.button(QMessageBox::Ok))
        ok->setText(QStringLiteral("OK"));
    if (auto* yes = box.button(QMessageBox::Yes))
        yes->setText(yesButtonText());
    if (auto* no = box.button(QMessageBox::No))
        no->setText(noButtonText());
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
    runBox(owner, QMessageBox::NoIcon, informationCaption(), text, QMessageBox::Ok);
}

bool QtPromptService::confirm(QWidget* owner, const QString& text)
{
    return runBox(owner, QMessageBox::NoIcon, confirmationCaption(), text,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool QtPromptService::informationWithAction(QWidget* owner, const QString& text,
                                            const QString& action)
{
    QMessageBox box(QMessageBox::NoIcon, informationCaption(), text, QMessageBox::Ok, owner);
    box.setWindowModality(Qt::ApplicationModal);
    QPushButton* extra = box.addButton(action, QMessageBox::ActionRole);
    localiseButtons(box);
    // OK stays the answer to Enter, as in the plain box, and to Escape and the close button.
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
    return box.clickedButton() == extra;
}

void showFrameworkErrorBox(QWidget* owner, const QString& text)
{
    runBox(owner, QMessageBox::Critical, QStringLiteral("Tovilo"), text, QMessageBox::Ok);
}

namespace {

// The open dialog: several files at once (Shift, Ctrl), and typed names are taken as they
// stand, whether or not the files exist, as the list queues any name it is given.
class VideoOpenDialog : public QFileDialog
{
public:
    explicit VideoOpenDialog(QWidget* owner) : QFileDialog(owner)
    {
        setAcceptMode(QFileDialog::AcceptOpen);
        setFileMode(QFileDialog::ExistingFiles);
        setNameFilter(videoNameFilter());
        setOption(QFileDialog::HideNameFilterDetails);
        setOption(QFileDialog::DontUseNativeDialog);
    }

    QStringList chosenFiles() const
    {
        return m_typedMissing.isEmpty() ? selectedFiles() : m_typedMissing;
    }

    void accept() override
    {
        // Qt's several-files mode refuses a missing name, and drops it silently when an
        // existing one is typed beside it. A folder still opens as usual.
        const QStringList files = typedFiles();
        const bool anyMissing = std::any_of(files.begin(), files.end(), [](const QString& file) {
            return !QFileInfo::exists(file);
        });
        const bool anyFolder = std::any_of(files.begin(), files.end(), [](const QString& file) {
            return QFileInfo(file).isDir();
        });
        if (anyMissing && !anyFolder) {
            m_typedMissing = files;
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }

private:
    // The names in the name box: one name, or several each between double quotes.
    QStringList typedFiles() const
    {
        const auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        const QString text = edit != nullptr ? edit->text().trimmed() : QString();
        QStringList names;
        if (text.startsWith(QLatin1Char('"'))) {
            const QStringList parts = text.split(QLatin1Char('"'));
            for (qsizetype i = 1; i < parts.size(); i += 2)
                names << parts[i];
        } else if (!text.isEmpty()) {
            names << text;
        }
        QStringList files;
        for (const QString& name : std::as_const(names)) {
            if (!name.isEmpty())
                files << QDir(directory()).absoluteFilePath(name);
        }
        return files;
    }

    QStringList m_typedMissing;
};

} // namespace

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
    VideoOpenDialog dialog(owner);
    dialog.setDirectory(initialFolder);
    dialog.selectFile(QString());
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.chosenFiles();
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
