#pragma once

#include "devices/OpticalDrives.h"
#include "ui/Services.h"

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <functional>

class QComboBox;
class ThConvertInfoObjectList;
class QLabel;
class QListWidget;
class TPNGButton;

// The chapter selection dialog: lists the optical drives and the .VOB files of the disc in
// the chosen one, and queues the files the user selects. One instance lives for the whole
// run; its lists and selection survive from one opening to the next.
class TFormSelectDVD : public QDialog
{
    Q_OBJECT

public:
    // Tells whether a drive root holds a readable disc; the main window owns that check.
    using DriveReadyCheck = std::function<bool(const QByteArray& root)>;

    // The dialog centres itself on `parent`.
    TFormSelectDVD(const tovilo::Services& services, DriveReadyCheck isDriveReady,
                   QWidget* parent = nullptr);

    // The answer to every close request; false until OK or Cancel first closes the dialog.
    bool CloseAllowed = false;
    // Whether the dialog was last closed by OK.
    bool Accepted = false;

    // Controls
    QLabel* ImageBG = nullptr;
    QComboBox* CBDriveList = nullptr;
    TPNGButton* PngBtnRefreshChapterList = nullptr;
    QListWidget* LBChapter = nullptr;
    TPNGButton* PngBtnSelectAll = nullptr;
    TPNGButton* PngBtnAnSelectAll = nullptr;
    TPNGButton* PngBtnOK = nullptr;
    TPNGButton* PngBtnCancel = nullptr;

    // Shows the dialog modally and returns when it has been closed.
    int ShowModal();

    QByteArray GetVolumeLabel(const QByteArray& root);
    // The root of the selected drive entry, empty when none is selected.
    QByteArray GetSelectedDriveRoot() const;
    void RefreshDriveList();
    void RefreshChapterList();
    // Adds an entry to `target` for every chapter file below `folder` (which ends in "/").
    void FindChapterFiles(const QByteArray& folder, QListWidget* target);
    // The files of the selected entries, in list order.
    QList<QByteArray> SelectedChapters() const;
    // Appends a waiting job for every selected chapter to `jobs`, in list order.
    void AddSelectedChapters(ThConvertInfoObjectList& jobs) const;

    // Handlers
    void CBDriveListChange();
    void BtnRefreshChapterListClick(TPNGButton* Sender);
    void BtnSelectAllClick(TPNGButton* Sender);
    void BtnAnSelectAllClick(TPNGButton* Sender);
    void BtnOKClick(TPNGButton* Sender);
    void BtnCancelClick(TPNGButton* Sender);
    bool FormCloseQuery() const;

    // Item data roles: a drive entry keeps its root, a chapter entry the file's full path
    // (a mount point may itself contain "[", and equal names may live in several folders).
    static constexpr int RootRole = Qt::UserRole;
    static constexpr int PathRole = Qt::UserRole + 1;

public slots:
    // Escape and every other close request ask FormCloseQuery first.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void FormCreate();
    void createControls();

    tovilo::Services m_services;
    DriveReadyCheck m_isDriveReady;
    // The drives found by the last RefreshDriveList, with their labels.
    QList<tovilo::OpticalDrive> m_drives;
    // While the dialog is shown, a disc inserted or ejected refreshes the lists by itself.
    tovilo::OpticalMountWatcher* m_mountWatcher = nullptr;
};
