// The main window's conversion commands and the hand-over to the media library that follows
// them: the window forwards to the engine and draws what it reports.
#include "app/UnitMain.h"

#include "engine/ConversionEngine.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "ui/FrameworkError.h"
#include "widgets/pngextra.h"

#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

using namespace tovilo;

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
    // A hand-over still waiting for its second goes now, before any box could let its timer
    // fire: it and a conversion never run side by side, and the converted files it was asked
    // for are not purged untransferred. The click ends there; the window is busy with it.
    if (m_engine->handOver().startScheduled())
        return;
    if (HasFinishedJobs())
        m_services.prompt->information(this, WindowTexts::finishedJobsRemoved());
    PurgeFinishedJobs();
    if (jobs().Count() == 0) {
        m_services.prompt->information(this, WindowTexts::emptyQueue());
        return;
    }
    SetBusy(true);
    ConvertMode = Sender->Tag();
    m_watchRun = false;
    if (!m_engine->start(ConvertMode == ModeMusic || ConvertMode == ModeMusicToLibrary,
                         ConvertMode == ModeMovieToLibrary || ConvertMode == ModeMusicToLibrary))
        SetBusy(m_engine->isHandingOver());
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
    const bool handingOver = m_engine->isHandingOver();
    if (!m_services.prompt->confirm(this, handingOver ? WindowTexts::confirmStopHandOver()
                                                      : WindowTexts::confirmStop()))
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
        m_engine->handOver().stop();
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
        m_engine->handOver().stop();
        return;
    }
    stopConversion();
    QCoreApplication::exit(0);
}

void TFormMain::FinishConversion()
{
    // Before the window comes to the front: the notice is for a user who is elsewhere.
    // The hand-over modes leave it to the engine, which starts it about a second later.
    // A run the watched folder started may have nobody in front of the screen: it says so on
    // the desktop, with no box to answer and no folder opened.
    m_engine->endQueue(!isActiveWindow() || m_watchRun);
    if (ConvertMode != ModeMovieToLibrary && ConvertMode != ModeMusicToLibrary && !m_watchRun) {
        RestoreAndActivate();
        m_services.prompt->information(this, conversionDoneText());
    }
    SetBusy(false);
    if (m_watchRun) {
        // Whoever comes back to the window finds what the run did.
        SituationText = queueOutcomeText(m_engine->convertedCount(), m_engine->failedCount());
        ShowSituation();
        return;
    }
    if (jobs().Settings.OpenDir)
        m_services.shell->openFolder(toUtf16(jobs().Settings.SaveDir));
}

void TFormMain::ShowSituation()
{
    // A text wider than the label (a long folder) loses its middle; the whole of it is then
    // one pointer rest away.
    const int width = LblSituation->width();
    const QString shown =
        LblSituation->fontMetrics().elidedText(SituationText, Qt::ElideMiddle, width);
    LblSituation->setText(shown);
    LblSituation->setToolTip(shown == SituationText ? QString() : SituationText);
}

void TFormMain::addNotice(const QString& text)
{
    m_notices.append(text);
    if (m_notices.size() > 1)
        return;
    SituationText = text;
    ShowSituation();
    QTimer::singleShot(NoticeMs, this, guarded([this] { showNextNotice(); }));
}

void TFormMain::showNextNotice()
{
    const QString shown = m_notices.takeFirst();
    // Whatever the program said since then stands.
    if (m_notices.isEmpty() || SituationText != shown) {
        m_notices.clear();
        return;
    }
    SituationText = m_notices.first();
    ShowSituation();
    QTimer::singleShot(NoticeMs, this, guarded([this] { showNextNotice(); }));
}

void TFormMain::RestoreAndActivate()
{
    m_services.shell->restoreAndActivate(this);
}

// ---------------------------------------------------------------- media library hand-over

void TFormMain::handOverStarted()
{
    SetBusy(true);
    PngBtnConvertPause->setEnabled(false);
}

void TFormMain::handOverFinished(const HandOverResult& result)
{
    SetBusy(false);
    if (m_quitRequested) {
        QCoreApplication::exit(0);
        return;
    }
    // What the watched folder brought meanwhile goes once this is told.
    QTimer::singleShot(0, this, guarded([this] {
                           if (!IsBusy())
                               startWatchedRun();
                       }));
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
    const QString done = WindowTexts::handOverDone(result.notFitting);
    if (m_watchRun) {
        SituationText = QString(done).replace(u'\n', u' ');
        ShowSituation();
        m_services.desktop->notify(done, QString());
        return;
    }
    RestoreAndActivate();
    if (!m_engine->handOver().canRemoveDevice()) {
        m_services.prompt->information(this, done);
        RestoreAndActivate();
        return;
    }
    const bool remove =
        m_services.prompt->informationWithAction(this, done, WindowTexts::removeDeviceAction());
    RestoreAndActivate();
    if (remove)
        RemoveMediaDevice(result.mountPoint);
}

void TFormMain::RemoveMediaDevice(const QByteArray& mountPoint)
{
    m_engine->handOver().removeDevice(mountPoint);
}
