#include "app/UnitMain.h"

#include "dialogs/UnitConfig.h"
#include "dialogs/UnitSelectDVD.h"
#include "engine/ConversionEngine.h"
#include "engine/DosCommandRunner.h"
#include "engine/EncoderOutput.h"
#include "engine/QueueSettings.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"
#include "queue/EncoderFailure.h"
#include "runner/DosCommand.h"
#include "ui/FrameworkError.h"
#include "ui/VideoFormats.h"
#include "ui/WindowSupport.h"
#include "widgets/pngextra.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QScreen>
#include <QSessionManager>
#include <QTableWidget>
#include <QTimer>

using namespace tovilo;

namespace {

} // namespace

TFormMain::TFormMain(const Services& services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_services(services)
{
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QStringLiteral("Tovilo"));
    setFixedSize(layout::mainWindow::clientSize);
    setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9));
    createControls();
    FormCreate();
}

TFormMain::~TFormMain()
{
    FormDestroy();
}

void TFormMain::SetDialogs(TFormSelectDVD* selectDvd, TFormConfig* config)
{
    m_formSelectDVD = selectDvd;
    m_formConfig = config;
}

void TFormMain::createControls()
{
    using namespace layout::mainWindow;
    ImageBG = createBackground(this, backgroundSize, QStringLiteral(":/artwork/bg_main.png"));

    PngBtnAddFile = createImageButton(this, "PngBtnAddFile", addFile);
    PngBtnAddDVD = createImageButton(this, "PngBtnAddDVD", addDvd);
    PngBtnListDelete = createImageButton(this, "PngBtnListDelete", listDelete);
    PngBtnConfig = createImageButton(this, "PngBtnConfig", config);
    PngBtnConvertCancel =
        createImageButton(this, "PngBtnConvertCancel", convertCancel, pbsImageLeft);
    PngBtnConvertPause = createImageButton(this, "PngBtnConvertPause", convertPause, pbsImageLeft);
    PngBtnConvertMovie = createImageButton(this, "PngBtnConvertMovie", convertMovie);
    PngBtnConvertMovie2iTunes =
        createImageButton(this, "PngBtnConvertMovie2iTunes", convertMovieToLibrary);
    PngBtnConvertMusic = createImageButton(this, "PngBtnConvertMusic", convertMusic);
    PngBtnConvertMusic2iTunes =
        createImageButton(this, "PngBtnConvertMusic2iTunes", convertMusicToLibrary);
    // The convert buttons share one handler and tell themselves apart by their tag.
    PngBtnConvertMovie->SetTag(ModeMovie);
    PngBtnConvertMovie2iTunes->SetTag(ModeMovieToLibrary);
    PngBtnConvertMusic->SetTag(ModeMusic);
    PngBtnConvertMusic2iTunes->SetTag(ModeMusicToLibrary);

    LblSituation = new QLabel(this);
    LblSituation->setObjectName(QStringLiteral("LblSituation"));
    LblSituation->setGeometry(situation);
    LblSituation->setAttribute(Qt::WA_TranslucentBackground);
    LblSituation->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    ListViewConvertFile = new QTableWidget(0, 2, this);
    ListViewConvertFile->setObjectName(QStringLiteral("ListViewConvertFile"));
    ListViewConvertFile->setGeometry(fileList);
    ListViewConvertFile->setHorizontalHeaderLabels(
        {QStringLiteral("ファイル名"), QStringLiteral("状態")});
    ListViewConvertFile->setShowGrid(true);
    ListViewConvertFile->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListViewConvertFile->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListViewConvertFile->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListViewConvertFile->setSortingEnabled(false);
    ListViewConvertFile->setWordWrap(false);
    ListViewConvertFile->setTextElideMode(Qt::ElideRight);
    ListViewConvertFile->setFocusPolicy(Qt::StrongFocus);
    ListViewConvertFile->verticalHeader()->setVisible(false);
    ListViewConvertFile->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ListViewConvertFile->verticalHeader()->setDefaultSectionSize(17);
    QHeaderView* header = ListViewConvertFile->horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionsClickable(false);
    header->setMinimumSectionSize(110);
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    header->resizeSection(0, 180);
    header->resizeSection(1, 110);
    // The file-name column may grow but never shrink below 180.
    connect(header, &QHeaderView::sectionResized, this, [header](int index, int, int size) {
        if (index == 0 && size < 180)
            header->resizeSection(0, 180);
    });
    // The selection stays visible when the list has no focus.
    QPalette palette = ListViewConvertFile->palette();
    for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    ListViewConvertFile->setPalette(palette);

    DosCommandConvert = new TDosCommand(this);
    DosCommandConvert->setObjectName(QStringLiteral("DosCommandConvert"));
    DosCommandConvert->OnStartError = [](const QString& message) { reportFrameworkError(message); };
    createEngine();

    TimerRegistiTunes = new QTimer(this);
    TimerRegistiTunes->setObjectName(QStringLiteral("TimerRegistiTunes"));
    TimerRegistiTunes->setInterval(1000);
    connect(TimerRegistiTunes, &QTimer::timeout, this,
            guarded([this] { TimerRegistiTunesTimer(); }));

    const auto connectClick = [this](TPNGButton* button, void (TFormMain::*handler)(TPNGButton*)) {
        connect(button, &TPNGButton::clicked, this,
                guarded([this, handler](TPNGButton* sender) { (this->*handler)(sender); }));
    };
    connectClick(PngBtnAddFile, &TFormMain::PngBtnAddFileClick);
    connectClick(PngBtnAddDVD, &TFormMain::PngBtnAddDVDClick);
    connectClick(PngBtnListDelete, &TFormMain::PngBtnListDeleteClick);
    connectClick(PngBtnConfig, &TFormMain::PngBtnConfigClick);
    connectClick(PngBtnConvertCancel, &TFormMain::PngBtnConvertCancelClick);
    connectClick(PngBtnConvertPause, &TFormMain::PngBtnConvertPauseClick);
    for (TPNGButton* convert : {PngBtnConvertMovie, PngBtnConvertMovie2iTunes, PngBtnConvertMusic,
                                PngBtnConvertMusic2iTunes})
        connectClick(convert, &TFormMain::BtnConvertClick);

    // A desktop session that ends while converting is refused like any other close.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        if (!IsBusy())
            return;
        if (manager.allowsInteraction()) {
            m_services.prompt->information(
                this,
                QStringLiteral("変換中は終了できません。変換を中止してから終了してください。"));
            manager.release();
        }
        manager.cancel();
    });
}

void TFormMain::createEngine()
{
    // The runner's events go to the engine; the window redraws what the queue announces.
    m_runner = std::make_unique<DosCommandRunner>(*DosCommandConvert);
    m_engine = new ConversionEngine(*m_runner, *m_services.desktop, *m_services.mediaLibrary,
                                    &*m_services.deviceRemoval, this);
    connect(m_engine, &ConversionEngine::handOverFinished, this,
            guarded([this](const HandOverResult& result) { handOverFinished(result); }));
    connect(&jobs(), &ThConvertInfoObjectList::changed, this, guarded([this] { RefreshList(); }));
    connect(m_engine, &ConversionEngine::situationChanged, this,
            guarded([this](const QString& text) {
                SituationText = text;
                ShowSituation();
            }));
    connect(m_engine, &ConversionEngine::queueDone, this, guarded([this] { FinishConversion(); }));
    connect(m_engine, &ConversionEngine::outputNotDeleted, this,
            guarded([this](const QByteArray& path) {
                m_services.prompt->information(
                    this, QStringLiteral("変換途中のファイルを削除できませんでした。\n") +
                              displayText(path));
            }));
    connect(m_engine, &ConversionEngine::errorRaised, this, &reportFrameworkError);
    connect(m_engine, &ConversionEngine::pausedChanged, this,
            guarded([this](bool paused) { showPaused(paused); }));
    m_engine->setSleepInhibitor(*m_services.sleep);
}

void TFormMain::showPaused(bool paused)
{
    LoadButtonImages(PngBtnConvertPause,
                     QString::fromLatin1(paused ? layout::mainWindow::convertResume.artwork
                                                : layout::mainWindow::convertPause.artwork));
    PngBtnConvertPause->setEnabled(IsBusy());
}

void TFormMain::restoreQueue()
{
    const QueueStore::Restored restored = m_engine->keepQueueIn(DataDir);
    if (restored.mode != 0)
        ConvertMode = restored.mode;
    RefreshList();
    // Said once: the next situation replaces it.
    if (restored.broken) {
        SituationText = queueNotRestoredText();
        ShowSituation();
    }
}

void TFormMain::FormCreate()
{
    qApp->installEventFilter(this);
    PrepareDataDir();
    LoadSettings();
    if (m_services.keepQueue)
        restoreQueue();
    OpenDialogMovie.InitialDir = toUtf16(DocumentsDir);
    SetBusy(false);
}

void TFormMain::FormDestroy()
{
    if (qApp)
        qApp->removeEventFilter(this);
    // The engine uses the runner: it goes first.
    delete m_engine;
    m_engine = nullptr;
}

ThConvertInfoObjectList& TFormMain::jobs() const
{
    return m_engine->jobs();
}

void TFormMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

// ---------------------------------------------------------------- start-up and settings

void TFormMain::PrepareDataDir()
{
    const DataFolders folders = prepareDataFolders(m_services.shell->documentsFolder());
    DocumentsDir = folders.documents;
    DataDir = folders.data;
}

void TFormMain::LoadSettings()
{
    const QString notice = loadQueueSettings(jobs(), DataDir);
    if (!notice.isEmpty()) {
        SituationText = notice;
        ShowSituation();
    }
}

void TFormMain::SaveSettings()
{
    saveQueueSettings(jobs(), DataDir);
}

// ---------------------------------------------------------------- file list

void TFormMain::AddSourceFile(const QByteArray& path)
{
    jobs().AddSource(path);
}

void TFormMain::RefreshList()
{
    // Only the rows whose job changed are redrawn: the engine refreshes at every start and end
    // of a job, and a refresh that touched every row would make a long queue slow job by job.
    // A job added or removed changes the count; the rows that then name another job are redrawn.
    const int count = jobs().Count();
    if (ListViewConvertFile->rowCount() != count || std::ssize(m_shownRows) != count) {
        ListViewConvertFile->setRowCount(count);
        m_shownRows.resize(static_cast<size_t>(count));
    }
    for (int i = 0; i < count; ++i) {
        const ThConvertInfoObject* job = jobs().Items(i);
        ShownRow& shown = m_shownRows[static_cast<size_t>(i)];
        // A fresh row has no job; a job whose source was replaced no longer shares our string.
        const bool sameJob =
            shown.job == job && shown.source.constData() == job->SourceFile.constData();
        if (sameJob && shown.status == job->Status && shown.encoderError == job->EncoderError)
            continue;
        QTableWidgetItem* name = ListViewConvertFile->item(i, 0);
        if (!sameJob) {
            name = new QTableWidgetItem(job->sourceDisplayName());
            ListViewConvertFile->setItem(i, 0, name);
            shown.job = job;
            shown.source = job->SourceFile;
        }
        const QString status = StatusText(*job);
        QTableWidgetItem* statusItem = ListViewConvertFile->item(i, 1);
        if (statusItem != nullptr) {
            statusItem->setText(status);
        } else {
            statusItem = new QTableWidgetItem(status);
            ListViewConvertFile->setItem(i, 1, statusItem);
        }
        // A failed row says why when the pointer rests on it.
        const QString reason =
            job->Status == csFailed ? failureReasonText(job->EncoderError) : QString();
        name->setToolTip(reason);
        statusItem->setToolTip(reason);
        shown.status = job->Status;
        shown.encoderError = job->EncoderError;
    }
    ListViewConvertFile->clearSelection();
    ListViewConvertFile->scrollToTop();
}

void TFormMain::SetBusy(bool busy)
{
    for (TPNGButton* button :
         {PngBtnAddFile, PngBtnAddDVD, PngBtnListDelete, PngBtnConfig, PngBtnConvertMovie,
          PngBtnConvertMovie2iTunes, PngBtnConvertMusic, PngBtnConvertMusic2iTunes})
        button->setEnabled(!busy);
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
    bool warned = false;
    for (const QUrl& url : urls) {
        const QByteArray name = localFilePath(url);
        if (isVideoFileName(name)) {
            AddSourceFile(name);
        } else if (!warned) {
            m_services.prompt->information(this, unsupportedFileText());
            warned = true;
        }
    }
    RefreshList();
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
        m_services.prompt->information(
            this, QStringLiteral("変換リストから除外するファイルを選択してください"));
        return;
    }
    if (!m_services.prompt->confirm(
            this, QStringLiteral("選択したファイルを変換リストから除外しますか？")))
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

bool TFormMain::IsDriveReady(const QByteArray& root)
{
    return m_services.drives->isReady(root);
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    // FormCloseQuery: the window is busy exactly when the convert buttons are disabled.
    if (!IsBusy()) {
        event->accept();
        return;
    }
    event->ignore();
    m_services.prompt->information(
        this, QStringLiteral("変換中は終了できません。変換を中止してから終了してください。"));
}

void TFormMain::PngBtnAddDVDClick(TPNGButton* /*Sender*/)
{
    if (m_formSelectDVD == nullptr)
        return;
    m_formSelectDVD->ShowModal();
    if (!m_formSelectDVD->Accepted)
        return;
    for (const QByteArray& path : m_formSelectDVD->SelectedChapters())
        AddSourceFile(path);
    RefreshList();
}

void TFormMain::PngBtnConfigClick(TPNGButton* /*Sender*/)
{
    if (m_formConfig == nullptr)
        return;
    const std::optional<ConversionSettings> edited = m_formConfig->EditSettings(jobs().settings());
    // OK saves even when nothing was changed.
    if (!edited)
        return;
    jobs().setSettings(*edited);
    SaveSettings();
}

// ---------------------------------------------------------------- conversion

bool TFormMain::HasFinishedJobs() const
{
    return m_engine->hasFinishedJobs();
}

void TFormMain::PurgeFinishedJobs()
{
    m_engine->purgeFinishedJobs();
}

void TFormMain::BtnConvertClick(TPNGButton* Sender)
{
    if (HasFinishedJobs())
        m_services.prompt->information(
            this, QStringLiteral("変換完了、iTunesへの転送が完了した動画はリストから削除されます"));
    PurgeFinishedJobs();
    if (jobs().Count() == 0) {
        m_services.prompt->information(this,
                                       QStringLiteral("変換する動画をリストに追加してください"));
        return;
    }
    // A hand-over still waiting for its timer would find its jobs gone, and would run beside
    // this conversion.
    TimerRegistiTunes->stop();
    SetBusy(true);
    ConvertMode = Sender->Tag();
    m_engine->setConvertMode(ConvertMode);
    m_engine->start(ConvertMode == ModeMusic || ConvertMode == ModeMusicToLibrary,
                    ConvertMode == ModeMovieToLibrary || ConvertMode == ModeMusicToLibrary);
}

void TFormMain::StartNextJob()
{
    m_engine->startNextJob();
}

QByteArray TFormMain::MakeUniqueFileName(const QByteArray& path)
{
    return ConversionEngine::uniqueFileName(path);
}

QString TFormMain::FormatDuration(int seconds)
{
    return formatDuration(seconds);
}

void TFormMain::PngBtnConvertCancelClick(TPNGButton*)
{
    if (!m_services.prompt->confirm(this, QStringLiteral("変換を中止してよろしいですか？")))
        return;
    stopConversion();
}

void TFormMain::PngBtnConvertPauseClick(TPNGButton*)
{
    if (m_engine->isPaused())
        m_engine->resume();
    else
        m_engine->pause();
}

void TFormMain::stopConversion()
{
    // The hand-over ends after its current file; the window stays busy until then.
    if (m_engine->isHandingOver()) {
        m_engine->stopHandOver();
        return;
    }
    if (!m_engine->stop())
        return;
    SetBusy(false);
    if (m_quitRequested)
        QCoreApplication::exit(0);
}

void TFormMain::stopAndQuit()
{
    m_quitRequested = true;
    m_engine->halt();
    // A stop under way quits when it is done: ending the loops now would cut its wait short;
    // so does a hand-over, once the device's database is written.
    if (m_engine->isCancelling())
        return;
    if (m_engine->isHandingOver()) {
        m_engine->stopHandOver();
        return;
    }
    stopConversion();
    QCoreApplication::exit(0);
}

void TFormMain::FinishConversion()
{
    // Before the window comes to the front: the notice is for a user who is elsewhere.
    m_engine->endQueue(!isActiveWindow());
    if (m_engine->handsOverAfterwards()) {
        TimerRegistiTunes->start();
    } else {
        RestoreAndActivate();
        m_services.prompt->information(this, QStringLiteral("変換が完了しました"));
    }
    SetBusy(false);
    if (jobs().OpenDir)
        m_services.shell->openFolder(toUtf16(jobs().SaveDir));
}

void TFormMain::ShowSituation()
{
    LblSituation->setText(SituationText);
}

void TFormMain::RestoreAndActivate()
{
    m_services.shell->restoreAndActivate(this);
}

// ---------------------------------------------------------------- media library hand-over

void TFormMain::TimerRegistiTunesTimer()
{
    TimerRegistiTunes->stop();
    AddToiTunes();
}

void TFormMain::AddToiTunes()
{
    // Busy while the worker hands the files over; the end comes as handOverFinished.
    SetBusy(true);
    m_engine->startHandOver([this] {
        RestoreAndActivate();
        return m_services.prompt->confirm(
            this, QStringLiteral("接続されているiPodは初期化されていません。\n"
                                 "iPodを初期化して転送しますか？"));
    });
}

void TFormMain::handOverFinished(const HandOverResult& result)
{
    SetBusy(false);
    if (m_quitRequested) {
        QCoreApplication::exit(0);
        return;
    }
    // A failure shows no message box, no refresh, no activation: the situation line says why,
    // until the next conversion starts. Nor does a partial hand-over come to the front.
    if (result.outcome == HandOverResult::Failed) {
        SituationText = result.situation;
        ShowSituation();
        return;
    }
    RefreshList();
    if (result.outcome == HandOverResult::Partial) {
        SituationText = result.situation;
        ShowSituation();
        return;
    }
    RestoreAndActivate();
    const QString done = QStringLiteral("変換・iTunesへの転送が完了しました");
    if (!m_engine->canRemoveDevice()) {
        m_services.prompt->information(this, done);
        RestoreAndActivate();
        return;
    }
    const bool remove =
        m_services.prompt->informationWithAction(this, done, QStringLiteral("iPodを取り外す"));
    RestoreAndActivate();
    if (remove)
        RemoveMediaDevice(result.mountPoint);
}

void TFormMain::RemoveMediaDevice(const QByteArray& mountPoint)
{
    m_engine->removeDevice(mountPoint);
}
