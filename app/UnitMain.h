#pragma once

#include "queue/ThConvertInfo.h"
#include "ui/Services.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QTableWidget;
class QTimer;
class TDosCommand;
class TFormConfig;
class TFormSelectDVD;
class TPNGButton;
enum TOutputType : quint8;

namespace tovilo {
class MediaApplication;
}

// The main window: the conversion list and every command (UnitMain.cpp, UnitMainDialogs.cpp),
// the conversion driver (UnitMainDriver.cpp) and the hand-over of converted files to the media
// library (UnitMainMedia.cpp).
class TFormMain : public QWidget
{
    Q_OBJECT

public:
    explicit TFormMain(const tovilo::Services& services, QWidget* parent = nullptr);
    ~TFormMain() override;

    // The two dialogs are created after the main window; the program hands them over here.
    void SetDialogs(TFormSelectDVD* selectDvd, TFormConfig* config);

    // The convert buttons' tags: what the conversion makes and whether the results then go to
    // the media library. A running conversion keeps its mode in ConvertMode.
    enum ConvertModes : int
    {
        ModeMovie = 1,
        ModeMovieToLibrary = 2,
        ModeMusic = 3,
        ModeMusicToLibrary = 4,
    };

    // Fields
    std::unique_ptr<tovilo::MediaApplication> ITunesApp;
    std::unique_ptr<ThConvertInfoObjectList> JobList;
    QByteArray DataDir;      // ends in "/"
    QByteArray DocumentsDir; // ends in "/"
    int ConvertMode = 0;
    QString SituationText;
    bool Cancelling = false;

    // Controls, in stacking order
    QLabel* ImageBG = nullptr;
    TPNGButton* PngBtnAddFile = nullptr;
    TPNGButton* PngBtnAddDVD = nullptr;
    TPNGButton* PngBtnListDelete = nullptr;
    TPNGButton* PngBtnConfig = nullptr;
    TPNGButton* PngBtnConvertCancel = nullptr;
    TPNGButton* PngBtnConvertMovie = nullptr;
    TPNGButton* PngBtnConvertMovie2iTunes = nullptr;
    TPNGButton* PngBtnConvertMusic = nullptr;
    TPNGButton* PngBtnConvertMusic2iTunes = nullptr;
    QLabel* LblSituation = nullptr;
    QTableWidget* ListViewConvertFile = nullptr;
    TDosCommand* DosCommandConvert = nullptr;
    QTimer* TimerRegistiTunes = nullptr;

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
    bool IsDriveReady(const QByteArray& root);

    // Conversion driver
    bool HasFinishedJobs() const;
    void PurgeFinishedJobs();
    void StartNextJob();
    void FinishConversion();
    void ShowSituation();
    void RestoreAndActivate();
    static QByteArray MakeUniqueFileName(const QByteArray& path);
    static QString FormatDuration(int seconds);
    // The progress text of one encoder line, or a null string when the line carries none.
    static QString ProgressText(const QByteArray& line);
    // The position in seconds of a progress line ("time=83.45 bitrate="), or nothing.
    static std::optional<double> ProgressSeconds(const QByteArray& line);
    // The source's length in seconds from the encoder's "Duration: HH:MM:SS.xx" line, or nothing.
    static std::optional<double> DurationSeconds(const QByteArray& line);

    // Media library hand-over
    void AddToiTunes();
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
    void DosCommandConvertNewLine(TDosCommand* Sender, const QByteArray& NewLine,
                                  TOutputType OutputType);
    void DosCommandConvertTerminated(TDosCommand* Sender, quint32 ExitCode);
    void TimerRegistiTunesTimer();

    bool IsBusy() const;

    // The program is asked to end (SIGTERM, SIGHUP, SIGINT): a running conversion is stopped
    // as a confirmed stop would, without the question, then the event loop ends with 0.
    void stopAndQuit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    // The application-wide hook: catches files dropped on the list before they are dispatched.
    bool AppMessage(QObject* watched, QEvent* event);
    void createControls();
    void stopConversion();
    void deletePartialOutput(const QString& outputFile);
    // The queue's progress outside the window; currentFraction is the running job's share done.
    void publishProgress(double currentFraction);
    void clearProgress();
    void notifyQueueDone();

    tovilo::Services m_services;
    TFormSelectDVD* m_formSelectDVD = nullptr;
    TFormConfig* m_formConfig = nullptr;
    bool m_centred = false;

    // The running queue as the desktop sees it.
    int m_queueSize = 0;       // jobs to convert when the queue started
    int m_jobsLeft = 0;        // the running job and those still waiting
    double m_sourceLength = 0; // of the running job's source, in seconds; 0 while unknown
    int m_publishedPercent = -1;
    int m_publishedJobsLeft = -1;
    bool m_quitRequested = false;
};
