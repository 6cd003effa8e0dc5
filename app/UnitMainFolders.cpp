// The main window's folders: whole trees added from a drop or the list's menu, and the watched
// folder whose new videos join the queue and start it.
#include "app/UnitMain.h"

#include "engine/ConversionEngine.h"
#include "engine/FolderWalk.h"
#include "engine/UserTexts.h"
#include "engine/WatchFolder.h"
#include "platform/CodePage.h"
#include "ui/FrameworkError.h"

#include <QAction>
#include <QMenu>
#include <QTableWidget>

using namespace tovilo;

void TFormMain::createListMenu()
{
    ListMenu = new QMenu(this);
    ListMenu->setObjectName(QStringLiteral("ListMenu"));
    const auto add = [this](const char* name, const QString& text, auto handler) {
        QAction* action = ListMenu->addAction(text);
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, guarded(handler));
        return action;
    };
    ActionAddFolder = add("ActionAddFolder", addFolderAction(), [this] { AddFolderClick(); });
    ActionAddFile = add("ActionAddFile", addFileAction(), [this] { PngBtnAddFileClick(nullptr); });
    ActionListDelete =
        add("ActionListDelete", removeSelectedAction(), [this] { PngBtnListDeleteClick(nullptr); });
    ListViewConvertFile->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListViewConvertFile, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) {
                if (!IsBusy())
                    ListMenu->popup(ListViewConvertFile->viewport()->mapToGlobal(at));
            });

    m_walker = new FolderWalker(this);
    connect(m_walker, &FolderWalker::walked, this,
            guarded([this](const FolderWalk& walk) { foldersWalked(walk); }));
}

void TFormMain::AddFolderClick()
{
    const std::optional<QString> folder =
        m_services.shell->browseForFolder(this, chooseFolderToAddText());
    if (folder && !folder->isEmpty())
        addPaths({fromUtf16(*folder)});
}

void TFormMain::addPaths(const QList<QByteArray>& paths)
{
    WalkRequest request;
    request.paths = paths;
    for (int i = 0; i < jobs().Count(); ++i)
        request.listed << jobs().Items(i)->sourcePath();
    request.outputFolder = jobs().Settings.SaveDir;
    SituationText = walkingFoldersText();
    ShowSituation();
    m_walker->start(std::move(request));
}

void TFormMain::foldersWalked(const FolderWalk& walk)
{
    std::vector<std::unique_ptr<ThConvertInfoObject>> added;
    for (const QByteArray& path : walk.videos) {
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(path);
        added.push_back(std::move(job));
    }
    jobs().AddAll(std::move(added));
    RefreshList();
    // Files alone are told as ever: a box for what is not a video, nothing else.
    if (walk.foldersGiven == 0) {
        if (SituationText == walkingFoldersText()) {
            SituationText.clear();
            ShowSituation();
        }
        if (walk.unsupported > 0)
            m_services.prompt->information(this, unsupportedFileText());
        return;
    }
    SituationText = foldersAddedText(walk);
    ShowSituation();
}

void TFormMain::startWatching()
{
    if (m_watch == nullptr) {
        m_watch = new WatchFolder(jobs(), m_services.keepQueue ? DataDir : QByteArray(), this);
        connect(m_watch, &WatchFolder::videosReady, this,
                guarded([this](const QList<QByteArray>& paths) { watchedVideosReady(paths); }));
        connect(m_watch, &WatchFolder::baselineTaken, this,
                guarded([this](int videos) { addNotice(watchBaselineText(videos)); }));
        // Said for as long as it is gone, unless a conversion has more to say.
        connect(m_watch, &WatchFolder::missingChanged, this, guarded([this](bool missing) {
                    if (missing)
                        SituationText = watchFolderMissingText();
                    else if (SituationText == watchFolderMissingText())
                        SituationText.clear();
                    ShowSituation();
                }));
    }
    const ConversionSettings& settings = jobs().Settings;
    m_watch->watch(settings.WatchMode != 0 ? settings.WatchDir : QByteArray(), settings.SaveDir);
}

void TFormMain::watchedVideosReady(const QList<QByteArray>& paths)
{
    std::vector<std::unique_ptr<ThConvertInfoObject>> added;
    for (const QByteArray& path : paths) {
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(path);
        added.push_back(std::move(job));
    }
    jobs().AddAll(std::move(added));
    addNotice(watchedAddedText(static_cast<int>(paths.size())));
    // A running queue takes them in turn; a hand-over under way starts them when it ends.
    if (!IsBusy())
        startWatchedRun();
}

void TFormMain::startWatchedRun()
{
    const int mode = jobs().Settings.WatchMode;
    if (mode == 0 || m_engine->handOver().isScheduled() || jobs().FirstWaiting() == nullptr)
        return;
    // As a click on the mode's button would, without a box: nobody may be there to answer.
    PurgeFinishedJobs();
    if (jobs().Count() == 0)
        return;
    SetBusy(true);
    ConvertMode = mode;
    m_watchRun = true;
    if (!m_engine->start(mode == ModeMusic || mode == ModeMusicToLibrary,
                         mode == ModeMovieToLibrary || mode == ModeMusicToLibrary)) {
        m_watchRun = false;
        SetBusy(m_engine->isHandingOver());
    }
}
