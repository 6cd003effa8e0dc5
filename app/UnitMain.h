#pragma once

#include "queue/ThConvertInfo.h"
#include "ui/Services.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QTableWidget;
class TDosCommand;
class TFormConfig;
class TFormSelectDVD;
class TPNGButton;

namespace tovilo {
class ConversionEngine;
struct HandOverResult;
class DosCommandRunner;
struct FolderWalk;
class FolderWalker;
class WatchFolder;
} // namespace tovilo

// The main window: the conversion list and every command. The conversion itself and the
// hand-over to the media library are the engine's; the window forwards the commands to it and
// draws what it reports.
class TFormMain : public QWidget
{
    Q_OBJECT

public:
    explicit TFormMain(const tovilo::Services& services, QWidget* parent = nullptr);
    ~TFormMain() override;

    // The two dialogs are created after the main window; the program hands them over here.
    void SetDialogs(TFormSelectDVD* selectDvd, TFormConfig* config);

    // The chapter dialog asks whether a drive's disc can be read.
    bool IsDriveReady(const QByteArray& root);
    tovilo::ConversionEngine& engine() const { return *m_engine; }
    tovilo::WatchFolder* watchFolder() const { return m_watch; }

    // The program is asked to end (SIGTERM, SIGHUP, SIGINT): a running conversion is stopped
    // as a confirmed stop would, without the question, then the event loop ends with 0.
    void stopAndQuit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The convert buttons' tags: what the conversion makes and whether the results then go to
    // the media library. A running conversion keeps its mode in ConvertMode.
    enum ConvertModes : int
    {
        ModeMovie = 1,
        ModeMovieToLibrary = 2,
        ModeMusic = 3,
        ModeMusicToLibrary = 4,
    };

    // How long a start-up notice stands before the next one takes its place.
    static constexpr int NoticeMs = 8000;

    // Fields
    QByteArray DataDir;      // ends in "/"
    QByteArray DocumentsDir; // ends in "/"
    int ConvertMode = 0;
    QString SituationText;

    // Controls, in stacking order; each has its field's name as its object name
    QLabel* ImageBG = nullptr;
    TPNGButton* PngBtnAddFile = nullptr;
    TPNGButton* PngBtnAddDVD = nullptr;
    TPNGButton* PngBtnListDelete = nullptr;
    TPNGButton* PngBtnConfig = nullptr;
    TPNGButton* PngBtnConvertCancel = nullptr;
    TPNGButton* PngBtnConvertPause = nullptr; // reads 再開 while paused
    TPNGButton* PngBtnConvertMovie = nullptr;
    TPNGButton* PngBtnConvertMovie2iTunes = nullptr;
    TPNGButton* PngBtnConvertMusic = nullptr;
    TPNGButton* PngBtnConvertMusic2iTunes = nullptr;
    QLabel* LblSituation = nullptr;
    QTableWidget* ListViewConvertFile = nullptr;
    TDosCommand* DosCommandConvert = nullptr;
    // The list's context menu: what the buttons above it do, and whole folders added.
    QMenu* ListMenu = nullptr;
    QAction* ActionAddFolder = nullptr;
    QAction* ActionAddFile = nullptr;
    QAction* ActionListDelete = nullptr;

    // The file-open dialog's state: its folder is set once at start-up.
    struct OpenDialog
    {
        QString InitialDir;
        QStringList Files; // chosen the last time, in the dialog's order
    } OpenDialogMovie;

    // Start-up and settings
    void PrepareDataDir();
    void LoadSettings();
    void SaveSettings();

    // File list
    void AddSourceFile(const QByteArray& path);
    void RefreshList();
    void SetBusy(bool busy);
    void HandleDroppedFiles(const QList<QUrl>& urls);
    bool IsBusy() const;

    // Conversion
    bool HasFinishedJobs() const;
    void PurgeFinishedJobs();
    void StartNextJob();
    void FinishConversion();
    void ShowSituation();
    void RestoreAndActivate();
    static QByteArray MakeUniqueFileName(const QByteArray& path);
    static QString FormatDuration(int seconds);
    // Unmounts and switches off the device at `mountPoint`; the situation line tells how it
    // went.
    void RemoveMediaDevice(const QByteArray& mountPoint);

    // Handlers
    void PngBtnAddFileClick(TPNGButton* Sender);
    void PngBtnAddDVDClick(TPNGButton* Sender);
    void PngBtnListDeleteClick(TPNGButton* Sender);
    void PngBtnConfigClick(TPNGButton* Sender);
    void BtnConvertClick(TPNGButton* Sender);
    void PngBtnConvertCancelClick(TPNGButton* Sender);
    void PngBtnConvertPauseClick(TPNGButton* Sender);

    void FormCreate();
    void FormDestroy();
    // The application-wide hook: catches files dropped on the list before they are dispatched.
    bool AppMessage(QObject* watched, QEvent* event);
    void createControls();
    void createEngine();
    // The pause button's pictures and state follow the engine's.
    void showPaused(bool paused);
    void restoreQueue();
    void stopConversion();
    void handOverStarted();
    void handOverFinished(const tovilo::HandOverResult& result);
    ThConvertInfoObjectList& jobs() const;
    // The rows follow the job list's announcements, each touching only its own rows.
    // Folders added and watched (UnitMainFolders.cpp)
    void createListMenu();
    void AddFolderClick();
    void addPaths(const QList<QByteArray>& paths);
    void foldersWalked(const tovilo::FolderWalk& walk);
    void startWatching();
    void watchedVideosReady(const QList<QByteArray>& paths);
    void startWatchedRun();

    void showJob(int row);
    void jobsAdded(int first, int last);
    // Start-up notices: one at a time, each for a while, so none hides another.
    void addNotice(const QString& text);
    void showNextNotice();

    tovilo::Services m_services;
    std::unique_ptr<tovilo::DosCommandRunner> m_runner;
    tovilo::ConversionEngine* m_engine = nullptr;
    TFormSelectDVD* m_formSelectDVD = nullptr;
    TFormConfig* m_formConfig = nullptr;
    QStringList m_notices;
    bool m_centred = false;
    bool m_quitRequested = false;
    tovilo::FolderWalker* m_walker = nullptr;
    tovilo::WatchFolder* m_watch = nullptr;
    bool m_watchRun = false; // the running queue was started by the watched folder
};
