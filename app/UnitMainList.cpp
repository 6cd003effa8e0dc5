// The main window's list: its rows as the jobs stand, files added by the button or dropped,
// and rows removed.
#include "app/UnitMain.h"

#include "engine/ConversionEngine.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"
#include "queue/EncoderFailure.h"
#include "ui/FrameworkError.h"
#include "widgets/pngextra.h"

#include <QAction>
#include <QDropEvent>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QTableWidget>

using namespace tovilo;

void TFormMain::AddSourceFile(const QByteArray& path)
{
    jobs().AddSource(path);
}

void TFormMain::RefreshList()
{
    // The rows already follow the job list row by row; what a refresh adds is what the user
    // sees of it: no selection, the first row in view.
    ListViewConvertFile->clearSelection();
    ListViewConvertFile->scrollToTop();
}

void TFormMain::jobsAdded(int first, int last)
{
    ListViewConvertFile->setRowCount(jobs().Count());
    for (int row = first; row <= last; ++row)
        showJob(row);
}

void TFormMain::showJob(int row)
{
    const ThConvertInfoObject* job = jobs().Items(row);
    QTableWidgetItem* name = ListViewConvertFile->item(row, 0);
    if (name == nullptr) {
        name = new QTableWidgetItem(job->sourceDisplayName());
        ListViewConvertFile->setItem(row, 0, name);
    }
    const QString status = StatusText(*job);
    QTableWidgetItem* statusItem = ListViewConvertFile->item(row, 1);
    if (statusItem != nullptr) {
        statusItem->setText(status);
    } else {
        statusItem = new QTableWidgetItem(status);
        ListViewConvertFile->setItem(row, 1, statusItem);
    }
    // A failed row says why when the pointer rests on it; a waiting one what its interrupted
    // run left; a converted or transferred one what its hand-over found and what is not as
    // asked.
    QString reason = job->Status == csFailed ? failureReasonText(job->EncoderError)
                     : job->Status == csWaiting && !job->LeftBehind.isEmpty()
                         ? leftBehindText(toUtf16(job->LeftBehind))
                         : handOverNoteText(*job);
    if (job->Status == csConverted || job->Status == csTransferred) {
        const QString notice = noticeText(job->EncoderError);
        if (!notice.isEmpty())
            reason = reason.isEmpty() ? notice : reason + QLatin1Char('\n') + notice;
    }
    name->setToolTip(reason);
    statusItem->setToolTip(reason);
}

void TFormMain::SetBusy(bool busy)
{
    for (TPNGButton* button :
         {PngBtnAddFile, PngBtnAddDVD, PngBtnListDelete, PngBtnConfig, PngBtnConvertMovie,
          PngBtnConvertMovie2iTunes, PngBtnConvertMusic, PngBtnConvertMusic2iTunes})
        button->setEnabled(!busy);
    for (QAction* action : {ActionAddFolder, ActionAddFile, ActionListDelete})
        action->setEnabled(!busy);
    PngBtnConvertCancel->setEnabled(busy);
    PngBtnConvertPause->setEnabled(busy);
    ListViewConvertFile->viewport()->setAcceptDrops(!busy);
}

bool TFormMain::IsBusy() const
{
    return !PngBtnConvertMovie->isEnabled();
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event)
{
    try {
        if (AppMessage(watched, event))
            return true;
    } catch (const std::exception& error) {
        reportException(error);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool TFormMain::AppMessage(QObject* watched, QEvent* event)
{
    if (watched != ListViewConvertFile->viewport())
        return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        if (!IsBusy() && drag->mimeData()->hasUrls())
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (IsBusy() || !drop->mimeData()->hasUrls()) {
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        HandleDroppedFiles(drop->mimeData()->urls());
        return true;
    }
    default:
        return false;
    }
}

void TFormMain::HandleDroppedFiles(const QList<QUrl>& urls)
{
    // Looked at off this thread: a folder on a share that hangs must not freeze the window.
    QList<QByteArray> paths;
    for (const QUrl& url : urls)
        paths << localFilePath(url);
    addPaths(paths);
}

void TFormMain::PngBtnAddFileClick(TPNGButton*)
{
    OpenDialogMovie.Files.clear();
    const QStringList chosen = m_services.shell->chooseVideoFiles(this, OpenDialogMovie.InitialDir);
    if (chosen.isEmpty())
        return;
    OpenDialogMovie.Files = chosen;
    for (const QString& file : chosen)
        AddSourceFile(fromUtf16(file));
    RefreshList();
}

void TFormMain::PngBtnListDeleteClick(TPNGButton*)
{
    QItemSelectionModel* selection = ListViewConvertFile->selectionModel();
    if (!selection->hasSelection()) {
        m_services.prompt->information(this, WindowTexts::noRowSelected());
        return;
    }
    if (!m_services.prompt->confirm(this, WindowTexts::confirmRemoval()))
        return;
    // Each removal redraws the list and clears the selection: the rows are read first, and
    // removed from the end, so that row i still names job i when it is visited.
    QList<int> rows;
    for (int i = jobs().Count() - 1; i >= 0; --i) {
        if (selection->isRowSelected(i))
            rows.append(i);
    }
    for (int row : rows)
        jobs().Delete(row);
    RefreshList();
}
