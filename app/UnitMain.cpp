#include "app/UnitMain.h"

#include "dialogs/UnitConfig.h"
#include "dialogs/UnitSelectDVD.h"
#include "engine/ConversionEngine.h"
#include "engine/DosCommandRunner.h"
#include "engine/EncoderOutput.h"
#include "engine/QueueSettings.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "queue/VideoFormats.h"
#include "runner/DosCommand.h"
#include "ui/FrameworkError.h"
#include "ui/WindowSupport.h"
#include "widgets/pngextra.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QSessionManager>
#include <QTableWidget>
#include <QTimer>

using namespace tovilo;

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
        {WindowTexts::fileNameColumn(), WindowTexts::statusColumn()});
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
    createListMenu();

    DosCommandConvert = new TDosCommand(this);
    DosCommandConvert->setObjectName(QStringLiteral("DosCommandConvert"));
    DosCommandConvert->OnStartError = [](const QString& message) { reportFrameworkError(message); };
    createEngine();

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
            m_services.prompt->information(this, WindowTexts::busyClose());
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
    connect(m_engine, &ConversionEngine::handOverStarted, this,
            guarded([this] { handOverStarted(); }));
    connect(m_engine, &ConversionEngine::handOverFinished, this,
            guarded([this](const HandOverResult& result) { handOverFinished(result); }));
    m_engine->handOver().setSetUpQuestion([this] {
        RestoreAndActivate();
        return m_services.prompt->confirm(this, WindowTexts::askSetUpDevice());
    });
    // Each announcement touches its own rows, then refreshes as every change of the list does.
    connect(&jobs(), &ThConvertInfoObjectList::jobsAdded, this,
            guarded([this](int first, int last) {
                jobsAdded(first, last);
                RefreshList();
            }));
    connect(&jobs(), &ThConvertInfoObjectList::jobRemoved, this, guarded([this](int row) {
        ListViewConvertFile->removeRow(row);
        RefreshList();
    }));
    connect(&jobs(), &ThConvertInfoObjectList::jobChanged, this, guarded([this](int row) {
        showJob(row);
        RefreshList();
    }));
    connect(m_engine, &ConversionEngine::situationChanged, this,
            guarded([this](const QString& text) {
                SituationText = text;
                ShowSituation();
            }));
    connect(m_engine, &ConversionEngine::queueDone, this, guarded([this] { FinishConversion(); }));
    connect(m_engine, &ConversionEngine::outputNotDeleted, this,
            guarded([this](const QByteArray& path) {
                m_services.prompt->information(this, WindowTexts::partialNotDeleted(path));
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
    // A hand-over has no pause: it ends after its current file when stopped.
    PngBtnConvertPause->setEnabled(IsBusy() && !m_engine->isHandingOver());
}

void TFormMain::restoreQueue()
{
    connect(&m_engine->queueKeeper(), &QueueKeeper::savingFailed, this, [this](int error) {
        if (error != 0)
            addNotice(queueNotSavedText(error));
    });
    const QueueStore::Restored restored = m_engine->keepQueueIn(DataDir);
    RefreshList();
    if (restored.broken)
        addNotice(queueNotRestoredText());
    for (const QByteArray& left : restored.left)
        addNotice(leftBehindText(toUtf16(left)));
}

void TFormMain::FormCreate()
{
    qApp->installEventFilter(this);
    PrepareDataDir();
    LoadSettings();
    if (m_services.keepQueue)
        restoreQueue();
    else if (m_services.queueNotKept != 0)
        addNotice(queueNotSavedText(m_services.queueNotKept));
    startWatching();
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
    if (!notice.isEmpty())
        addNotice(notice);
}

void TFormMain::SaveSettings()
{
    saveQueueSettings(jobs(), DataDir);
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
    m_services.prompt->information(this, WindowTexts::busyClose());
}

void TFormMain::PngBtnAddDVDClick(TPNGButton* /*Sender*/)
{
    if (m_formSelectDVD == nullptr)
        return;
    m_formSelectDVD->ShowModal();
    if (!m_formSelectDVD->Accepted)
        return;
    m_formSelectDVD->AddSelectedChapters(jobs());
    RefreshList();
}

void TFormMain::PngBtnConfigClick(TPNGButton* /*Sender*/)
{
    if (m_formConfig == nullptr)
        return;
    const std::optional<ConversionSettings> edited = m_formConfig->EditSettings(jobs().Settings);
    // OK saves even when nothing was changed.
    if (!edited)
        return;
    // Refused before anything is kept, in memory or in the file.
    const QString unsavable = unsavableSettingsText(*edited);
    if (!unsavable.isEmpty()) {
        m_services.prompt->information(this, unsavable);
        return;
    }
    jobs().Settings = *edited;
    SaveSettings();
    startWatching();
}
