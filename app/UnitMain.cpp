#include "app/UnitMain.h"

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/MediaLibrary.h"
#include "platform/OpticalDrives.h"
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

const QByteArray SettingsSection = "CONF";

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
    DosCommandConvert->OnNewLine = [this](TDosCommand* sender, const QByteArray& line,
                                          TOutputType type) {
        DosCommandConvertNewLine(sender, line, type);
    };
    DosCommandConvert->OnTerminated = [this](TDosCommand* sender, quint32 exitCode) {
        DosCommandConvertTerminated(sender, exitCode);
    };
    DosCommandConvert->OnStartError = [](const QString& message) { reportFrameworkError(message); };

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

void TFormMain::FormCreate()
{
    qApp->installEventFilter(this);
    JobList = std::make_unique<ThConvertInfoObjectList>();
    PrepareDataDir();
    LoadSettings();
    OpenDialogMovie.InitialDir = toUtf16(DocumentsDir);
    SetBusy(false);
}

void TFormMain::FormDestroy()
{
    if (qApp)
        qApp->removeEventFilter(this);
    JobList.reset();
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
    QByteArray documents = m_services.shell->documentsFolder();
    if (documents.isEmpty())
        documents = "/";
    documents = includeTrailingDelimiter(documents);
    const QByteArray dataFolder = documents + "Tovilo";
    if (!pathExists(dataFolder))
        makeDirectory(dataFolder); // one level; a failure shows when saving
    DocumentsDir = documents;
    DataDir = dataFolder + PathDelimiter;
}

void TFormMain::LoadSettings()
{
    const IniFile ini(DataDir + "config.ini");
    JobList->Quality =
        static_cast<std::uint8_t>(ini.readInteger(SettingsSection, "QUALITY", 1) & 0xFF);
    JobList->Ratio = static_cast<std::uint8_t>(ini.readInteger(SettingsSection, "RAITO", 0) & 0xFF);
    // A folder edited by hand without its "/" would put the outputs beside it, and an empty or
    // relative one into the working folder or above it.
    const QByteArray saveDir = ini.readString(SettingsSection, "SAVEDIR", DataDir);
    JobList->SaveDir = saveDir.startsWith('/') ? includeTrailingDelimiter(saveDir) : DataDir;
    JobList->OpenDir = ini.readBool(SettingsSection, "OPENDIR", true);
    // Anything but 1 (missing, from an earlier version, or edited by hand) is MPEG-4.
    JobList->Codec = ini.readInteger(SettingsSection, "CODEC", 0) == 1 ? 1 : 0;
}

void TFormMain::SaveSettings()
{
    IniFile ini(DataDir + "config.ini");
    ini.writeInteger(SettingsSection, "QUALITY", JobList->Quality);
    ini.writeInteger(SettingsSection, "RAITO", JobList->Ratio);
    ini.writeString(SettingsSection, "SAVEDIR", JobList->SaveDir);
    ini.writeBool(SettingsSection, "OPENDIR", JobList->OpenDir);
    ini.writeInteger(SettingsSection, "CODEC", JobList->Codec);
}

// ---------------------------------------------------------------- file list

void TFormMain::AddSourceFile(const QByteArray& path)
{
    auto job = std::make_unique<ThConvertInfoObject>();
    job->SourceFile = toUtf16(path);
    job->Status = csWaiting;
    JobList->Add(std::move(job));
}

void TFormMain::RefreshList()
{
    // Rows whose job is unchanged keep their items: the driver refreshes at every start and end
    // of a job, and rebuilding thousands of rows each time would dominate a long queue.
    const int count = JobList->Count();
    if (ListViewConvertFile->rowCount() != count) {
        ListViewConvertFile->clearContents();
        ListViewConvertFile->setRowCount(count);
    }
    for (int i = 0; i < count; ++i) {
        const ThConvertInfoObject* job = JobList->Items(i);
        QTableWidgetItem* name = ListViewConvertFile->item(i, 0);
        if (name == nullptr || name->data(Qt::UserRole).toString() != job->SourceFile) {
            name = new QTableWidgetItem(displayText(extractFileName(fromUtf16(job->SourceFile))));
            name->setData(Qt::UserRole, job->SourceFile);
            ListViewConvertFile->setItem(i, 0, name);
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
    // From the end, so that row i still names job i when it is visited.
    for (int i = JobList->Count() - 1; i >= 0; --i) {
        if (selection->isRowSelected(i))
            JobList->Delete(i);
    }
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
