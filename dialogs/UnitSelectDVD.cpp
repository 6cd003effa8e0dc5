#include "dialogs/UnitSelectDVD.h"

#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "queue/ThConvertInfo.h"
#include "ui/FrameworkError.h"
#include "ui/WindowSupport.h"
#include "widgets/pngextra.h"

#include <QComboBox>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QShowEvent>

#include <optional>
#include <utility>

using namespace tovilo;

namespace {

// The list was laid out for 12-pixel rows; a substitute font whose underscore reaches below
// that would lose it (VTS_01_1 would read "VTS 01 1"), so rows grow to the font's height.
constexpr int DesignItemHeight = 12;

} // namespace

TFormSelectDVD::TFormSelectDVD(const Services& services, DriveReadyCheck isDriveReady,
                               QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_services(services), m_isDriveReady(std::move(isDriveReady))
{
    setObjectName(QStringLiteral("FormSelectDVD"));
    setWindowTitle(chapterDialogTitle());
    setFixedSize(layout::selectDvd::clientSize);
    setFont(dialogFont());
    createControls();
    m_mountWatcher = new OpticalMountWatcher(
        *m_services.drives,
        guarded([this] { BtnRefreshChapterListClick(PngBtnRefreshChapterList); }), this);
    FormCreate();
}

void TFormSelectDVD::createControls()
{
    using namespace layout::selectDvd;
    ImageBG = createBackground(this, backgroundSize, QStringLiteral(":/artwork/bg_selectdvd.png"));

    CBDriveList = new QComboBox(this);
    CBDriveList->setObjectName(QStringLiteral("CBDriveList"));
    CBDriveList->setGeometry(driveList);
    CBDriveList->setEditable(false);

    PngBtnRefreshChapterList = createImageButton(this, "PngBtnRefreshChapterList", refresh);

    LBChapter = new QListWidget(this);
    LBChapter->setObjectName(QStringLiteral("LBChapter"));
    LBChapter->setGeometry(chapterList);
    LBChapter->setSelectionMode(QAbstractItemView::ExtendedSelection);
    LBChapter->setSortingEnabled(false);
    LBChapter->setUniformItemSizes(true);
    LBChapter->setEditTriggers(QAbstractItemView::NoEditTriggers);

    PngBtnSelectAll = createImageButton(this, "PngBtnSelectAll", selectAll);
    PngBtnAnSelectAll = createImageButton(this, "PngBtnAnSelectAll", unselectAll);
    PngBtnOK = createImageButton(this, "PngBtnOK", ok);
    PngBtnCancel = createImageButton(this, "PngBtnCancel", cancel);

    setTabOrder(CBDriveList, LBChapter);

    // activated() comes from the user only, never from RefreshDriveList's own changes.
    connect(CBDriveList, &QComboBox::activated, this,
            guarded([this](int) { CBDriveListChange(); }));
    const auto connectClick = [this](TPNGButton* button,
                                     void (TFormSelectDVD::*handler)(TPNGButton*)) {
        connect(button, &TPNGButton::clicked, this,
                guarded([this, handler](TPNGButton* sender) { (this->*handler)(sender); }));
    };
    connectClick(PngBtnRefreshChapterList, &TFormSelectDVD::BtnRefreshChapterListClick);
    connectClick(PngBtnSelectAll, &TFormSelectDVD::BtnSelectAllClick);
    connectClick(PngBtnAnSelectAll, &TFormSelectDVD::BtnAnSelectAllClick);
    connectClick(PngBtnOK, &TFormSelectDVD::BtnOKClick);
    connectClick(PngBtnCancel, &TFormSelectDVD::BtnCancelClick);
}

void TFormSelectDVD::FormCreate()
{
    RefreshDriveList();
    RefreshChapterList();
}

void TFormSelectDVD::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        centreOnOwner(this, parentWidget());
    // The watcher sleeps while the dialog is hidden; a disc inserted or ejected meanwhile
    // would otherwise show as an empty drive. Unchanged drives keep the lists as they were.
    if (m_services.drives->opticalDrives() != m_drives)
        BtnRefreshChapterListClick(PngBtnRefreshChapterList);
    m_mountWatcher->start();
}

void TFormSelectDVD::hideEvent(QHideEvent* event)
{
    m_mountWatcher->stop();
    QDialog::hideEvent(event);
}

int TFormSelectDVD::ShowModal()
{
    // A close by Escape or the window manager must not queue the chapters of an earlier OK.
    Accepted = false;
    return exec();
}

QByteArray TFormSelectDVD::GetVolumeLabel(const QByteArray& root)
{
    const auto labelIn = [&root](const QList<OpticalDrive>& drives) -> std::optional<QByteArray> {
        for (const OpticalDrive& drive : drives) {
            if (drive.root == root)
                return drive.label;
        }
        return std::nullopt;
    };
    if (std::optional<QByteArray> label = labelIn(m_drives))
        return *label;
    return labelIn(m_services.drives->opticalDrives()).value_or(QByteArray());
}

QByteArray TFormSelectDVD::GetSelectedDriveRoot() const
{
    if (CBDriveList->currentIndex() < 0)
        return {};
    return CBDriveList->currentData(RootRole).toByteArray();
}

void TFormSelectDVD::RefreshDriveList()
{
    const int remembered = CBDriveList->currentIndex();
    CBDriveList->clear();
    m_drives = m_services.drives->opticalDrives();
    for (const OpticalDrive& drive : std::as_const(m_drives)) {
        const QByteArray entry = drive.root + '[' + GetVolumeLabel(drive.root) + ']';
        CBDriveList->addItem(toUtf16(entry), drive.root);
    }
    if (CBDriveList->count() == 0)
        return;
    // A remembered position that no longer exists leaves the box without a selection.
    CBDriveList->setCurrentIndex(
        remembered > 0 ? (remembered < CBDriveList->count() ? remembered : -1) : 0);
}

void TFormSelectDVD::RefreshChapterList()
{
    LBChapter->clear();
    if (CBDriveList->currentIndex() < 0)
        return;
    const QByteArray root = GetSelectedDriveRoot();
    if (m_isDriveReady && m_isDriveReady(root)) {
        FindChapterFiles(root, LBChapter);
        return;
    }
    // Only a user working in the dialog is told: not at start-up, not while another window is
    // in front when the mount watcher refreshes.
    if (isActiveWindow())
        m_services.prompt->information(this, insertDiscText());
}

void TFormSelectDVD::FindChapterFiles(const QByteArray& folder, QListWidget* target)
{
    const int itemHeight = qMax(DesignItemHeight, target->fontMetrics().height());
    findChapterFiles(folder,
                     [target, itemHeight](const QByteArray& name, const QByteArray& fullPath) {
                         auto* item = new QListWidgetItem(displayText(name));
                         item->setData(PathRole, fullPath);
                         item->setSizeHint(QSize(0, itemHeight));
                         target->addItem(item);
                     });
}

QList<QByteArray> TFormSelectDVD::SelectedChapters() const
{
    QList<QByteArray> files;
    for (int row = 0; row < LBChapter->count(); ++row) {
        const QListWidgetItem* item = LBChapter->item(row);
        // The file where it was found, whatever folder of the disc that is.
        if (item->isSelected())
            files.append(item->data(PathRole).toByteArray());
    }
    return files;
}

void TFormSelectDVD::AddSelectedChapters(ThConvertInfoObjectList& jobs) const
{
    for (const QByteArray& path : SelectedChapters())
        jobs.AddSource(path);
}

void TFormSelectDVD::CBDriveListChange()
{
    LBChapter->clear();
    RefreshChapterList();
}

void TFormSelectDVD::BtnRefreshChapterListClick(TPNGButton* /*Sender*/)
{
    RefreshDriveList();
    RefreshChapterList();
}

void TFormSelectDVD::BtnSelectAllClick(TPNGButton* /*Sender*/)
{
    LBChapter->selectAll();
}

void TFormSelectDVD::BtnAnSelectAllClick(TPNGButton* /*Sender*/)
{
    LBChapter->clearSelection();
}

void TFormSelectDVD::BtnOKClick(TPNGButton* /*Sender*/)
{
    if (LBChapter->selectedItems().isEmpty()) {
        m_services.prompt->information(this, chooseChaptersText());
        CloseAllowed = false;
        return;
    }
    CloseAllowed = true;
    Accepted = true;
    close();
}

void TFormSelectDVD::BtnCancelClick(TPNGButton* /*Sender*/)
{
    CloseAllowed = true;
    Accepted = false;
    close();
}

bool TFormSelectDVD::FormCloseQuery() const
{
    return CloseAllowed;
}

void TFormSelectDVD::reject()
{
    // QDialog routes the Escape key and close events through here.
    if (FormCloseQuery())
        QDialog::reject();
}
