// The conversion driver: runs the queue job by job through lib/ffmpeg, shows the progress,
// stops on request and cleans up after failed or stopped jobs.
#include "app/UnitMain.h"

#include "platform/CodePage.h"
#include "platform/DesktopIntegration.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "queue/EncoderFailure.h"
#include "runner/DosCommand.h"
#include "ui/FrameworkError.h"
#include "widgets/pngextra.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

using namespace tovilo;

namespace {

void resetToWaiting(ThConvertInfoObject& job)
{
    job.Status = csWaiting;
    job.EncoderError.clear();
}

// Waits for `interval` while the window keeps handling events, without spinning.
void waitProcessingEvents(int intervalMs)
{
    QEventLoop loop;
    QTimer::singleShot(intervalMs, &loop, &QEventLoop::quit);
    loop.exec();
}

QString progressTextFor(double seconds)
{
    // Halves go to the even neighbour.
    return TFormMain::FormatDuration(static_cast<int>(std::nearbyint(seconds))) +
           QStringLiteral("までの動画を変換完了");
}

} // namespace

bool TFormMain::HasFinishedJobs() const
{
    for (int i = JobList->Count() - 1; i >= 0; --i) {
        const TConvertStatus status = JobList->Items(i)->Status;
        if (status == csConverted || status == csTransferred)
            return true;
    }
    return false;
}

void TFormMain::PurgeFinishedJobs()
{
    for (int i = JobList->Count() - 1; i >= 0; --i) {
        ThConvertInfoObject* job = JobList->Items(i);
        if (job->Status == csConverted || job->Status == csTransferred)
            JobList->Delete(i);
        else if (job->Status == csFailed)
            resetToWaiting(*job);
    }
    RefreshList();
}

void TFormMain::BtnConvertClick(TPNGButton* Sender)
{
    Cancelling = false;
    if (HasFinishedJobs())
        m_services.prompt->information(
            this, QStringLiteral("変換完了、iTunesへの転送が完了した動画はリストから削除されます"));
    PurgeFinishedJobs();
    if (JobList->Count() == 0) {
        m_services.prompt->information(this,
                                       QStringLiteral("変換する動画をリストに追加してください"));
        return;
    }
    SetBusy(true);
    // After the purge every job of the list waits: the queue's size for its progress.
    m_queueSize = JobList->Count();
    ConvertMode = Sender->Tag();
    JobList->AudioOnly = ConvertMode == ModeMusic || ConvertMode == ModeMusicToLibrary;
    StartNextJob();
}

void TFormMain::StartNextJob()
{
    if (m_quitRequested)
        return;
    SituationText.clear();
    ShowSituation();
    ThConvertInfoObject* job = JobList->FirstWaiting();
    if (job == nullptr) {
        FinishConversion();
        return;
    }
    m_jobsLeft = 0;
    for (int i = 0; i < JobList->Count(); ++i)
        m_jobsLeft += JobList->Items(i)->Status == csWaiting ? 1 : 0;
    m_sourceLength = 0;
    job->Status = csConverting;
    job->EncoderError.clear();
    RefreshList();
    publishProgress(0);

    const QByteArray source = fromUtf16(job->SourceFile);
    const QByteArray extension = JobList->AudioOnly ? ".mp3" : ".mp4";
    const QByteArray wanted = JobList->SaveDir + changeFileExt(extractFileName(source), extension);
    // The name is claimed before the encoder starts, so another program or job never writes
    // into it; a name that turns up between the choice and the claim only moves us on.
    QByteArray output;
    int error = EEXIST;
    for (int attempt = 0; error == EEXIST && attempt < 100; ++attempt) {
        output = MakeUniqueFileName(wanted);
        error = reserveNewFile(output);
    }
    job->OutputFile = toUtf16(output);
    if (error != 0) {
        // Nothing was created, so nothing is deleted; the row says why as for an encoder.
        job->Status = csFailed;
        job->EncoderError = outputNotClaimedLine(error);
        RefreshList();
        QMetaObject::invokeMethod(this, guarded([this] { StartNextJob(); }), Qt::QueuedConnection);
        return;
    }

    DosCommandConvert->CommandLine = "lib/ffmpeg" + JobList->BuildArguments(source, output);
    // Start returns at once; the run's end arrives as an event of the main loop. Unlike a
    // blocking Execute per job, this keeps the stack and the worker threads bounded however
    // long the queue is.
    DosCommandConvert->Start();
}

QByteArray TFormMain::MakeUniqueFileName(const QByteArray& path)
{
    // Anything at the name takes it, a dangling link included: the encoder would write
    // through it. A name too long for "(n)" loses the end of its stem.
    const qsizetype limit = fileNameLimit(path);
    const QByteArray extension = extractFileExt(path);
    const QByteArray stem = path.left(path.size() - extension.size());
    const QByteArray first = fitFileName(stem, extension, limit);
    if (!nameTaken(first))
        return first;
    for (qint64 n = 1;; ++n) {
        const QByteArray candidate =
            fitFileName(stem, '(' + QByteArray::number(n) + ')' + extension, limit);
        if (!nameTaken(candidate))
            return candidate;
    }
}

QString TFormMain::FormatDuration(int seconds)
{
    return QString::asprintf("%.2d時間%.2d分%.2d秒", seconds / 3600, (seconds % 3600) / 60,
                             (seconds % 3600) % 60);
}

QString TFormMain::ProgressText(const QByteArray& line)
{
    const std::optional<double> value = ProgressSeconds(line);
    return value ? progressTextFor(*value) : QString();
}

std::optional<double> TFormMain::ProgressSeconds(const QByteArray& line)
{
    // The line must carry "time=" in some letter case, but only the lower-case one is read.
    const qsizetype at = line.indexOf("time=");
    if (at < 0)
        return std::nullopt;
    QByteArray kept = line.mid(at + 5);
    const qsizetype bitrate = kept.indexOf("bitrate");
    kept = bitrate < 0 ? QByteArray() : kept.left(bitrate);
    // The encoder always writes "." as the decimal point, whatever the user's locale.
    const QByteArray number = kept.trimmed();
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (number.isEmpty() || !ok || !std::isfinite(value) || std::fabs(value) > INT_MAX)
        return std::nullopt;
    return value;
}

std::optional<double> TFormMain::DurationSeconds(const QByteArray& line)
{
    // "  Duration: 00:01:23.45, start: 0.000000, bitrate: 1205 kb/s"; "N/A" when unknown.
    const QByteArray key = "Duration:";
    const qsizetype at = line.indexOf(key);
    if (at < 0)
        return std::nullopt;
    QByteArray text = line.mid(at + key.size());
    text = text.left(text.indexOf(',')).trimmed();
    const QList<QByteArray> parts = text.split(':');
    if (parts.size() != 3)
        return std::nullopt;
    bool hoursOk = false;
    bool minutesOk = false;
    bool secondsOk = false;
    const int hours = parts[0].toInt(&hoursOk);
    const int minutes = parts[1].toInt(&minutesOk);
    const double seconds = parts[2].toDouble(&secondsOk);
    if (!hoursOk || !minutesOk || !secondsOk || hours < 0 || minutes < 0 || minutes > 59 ||
        !(seconds >= 0 && seconds < 60))
        return std::nullopt;
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

void TFormMain::DosCommandConvertNewLine(TDosCommand*, const QByteArray& NewLine, TOutputType)
{
    // A partial line may be followed by the same line complete: the last one counts.
    if (isEncoderErrorLine(NewLine)) {
        if (ThConvertInfoObject* job = JobList->FirstConverting())
            job->EncoderError = NewLine;
        return;
    }
    if (m_sourceLength <= 0) {
        if (const std::optional<double> length = DurationSeconds(NewLine)) {
            m_sourceLength = *length;
            return;
        }
    }
    const std::optional<double> seconds = ProgressSeconds(NewLine);
    if (!seconds)
        return;
    SituationText = progressTextFor(*seconds);
    ShowSituation();
    if (m_sourceLength > 0)
        publishProgress(*seconds / m_sourceLength);
}

void TFormMain::DosCommandConvertTerminated(TDosCommand*, quint32 ExitCode)
{
    ThConvertInfoObject* job = JobList->FirstConverting();
    if (Cancelling || job == nullptr)
        return;
    if (ExitCode == 0) {
        job->Status = csConverted;
        job->EncoderError.clear();
    } else {
        job->Status = csFailed;
        const TRunState state = DosCommandConvert->RunState();
        if (job->EncoderError.isEmpty() && (state == rsCreatingProcess || state == rsProcessFailed))
            job->EncoderError = encoderNotStartedLine();
        // The encoder leaves a broken file behind; its name was chosen free for this job.
        removeFile(fromUtf16(job->OutputFile));
    }
    RefreshList();
    // The next job starts from the main loop, not from inside this handler.
    QMetaObject::invokeMethod(this, guarded([this] { StartNextJob(); }), Qt::QueuedConnection);
}

void TFormMain::PngBtnConvertCancelClick(TPNGButton*)
{
    if (!m_services.prompt->confirm(this, QStringLiteral("変換を中止してよろしいですか？")))
        return;
    stopConversion();
}

void TFormMain::stopConversion()
{
    if (!DosCommandConvert->IsRunning() || Cancelling)
        return;
    Cancelling = true;
    DosCommandConvert->Stop();
    DosCommandConvert->WaitWhileRunning();
    if (ThConvertInfoObject* job = JobList->FirstConverting()) {
        resetToWaiting(*job);
        deletePartialOutput(job->OutputFile);
    }
    clearProgress();
    SituationText.clear();
    ShowSituation();
    RefreshList();
    Cancelling = false;
    SetBusy(false);
    if (m_quitRequested)
        QCoreApplication::exit(0);
}

void TFormMain::stopAndQuit()
{
    m_quitRequested = true;
    // A stop under way quits when it is done: ending the loops now would cut its wait short.
    if (Cancelling)
        return;
    stopConversion();
    QCoreApplication::exit(0);
}

void TFormMain::deletePartialOutput(const QString& outputFile)
{
    const QByteArray path = fromUtf16(outputFile);
    QElapsedTimer elapsed;
    elapsed.start();
    while (fileExists(path) && !removeFile(path)) {
        if (elapsed.elapsed() >= 10000) {
            m_services.prompt->information(
                this,
                QStringLiteral("変換途中のファイルを削除できませんでした。\n") + displayText(path));
            return;
        }
        waitProcessingEvents(100);
    }
}

void TFormMain::FinishConversion()
{
    // Before the window comes to the front: the notice is for a user who is elsewhere.
    if (!isActiveWindow())
        notifyQueueDone();
    clearProgress();
    if (ConvertMode == ModeMovie || ConvertMode == ModeMusic) {
        RestoreAndActivate();
        m_services.prompt->information(this, QStringLiteral("変換が完了しました"));
    } else if (ConvertMode == ModeMovieToLibrary || ConvertMode == ModeMusicToLibrary) {
        TimerRegistiTunes->start();
    }
    SetBusy(false);
    if (JobList->OpenDir)
        m_services.shell->openFolder(toUtf16(JobList->SaveDir));
}

void TFormMain::publishProgress(double currentFraction)
{
    const int size = std::max({m_queueSize, m_jobsLeft, 1});
    const double fraction =
        std::clamp((size - m_jobsLeft + std::clamp(currentFraction, 0.0, 1.0)) / size, 0.0, 1.0);
    // A dock redraws on every update: send only what it would show differently.
    const int percent = static_cast<int>(fraction * 100);
    if (percent == m_publishedPercent && m_jobsLeft == m_publishedJobsLeft)
        return;
    m_publishedPercent = percent;
    m_publishedJobsLeft = m_jobsLeft;
    m_services.desktop->showProgress(fraction, m_jobsLeft);
}

void TFormMain::clearProgress()
{
    m_publishedPercent = -1;
    m_publishedJobsLeft = -1;
    m_services.desktop->clearProgress();
}

void TFormMain::notifyQueueDone()
{
    int converted = 0;
    int failed = 0;
    for (int i = 0; i < JobList->Count(); ++i) {
        const TConvertStatus status = JobList->Items(i)->Status;
        converted += status == csConverted ? 1 : 0;
        failed += status == csFailed ? 1 : 0;
    }
    m_services.desktop->notify(
        QStringLiteral("変換が完了しました"),
        QStringLiteral("変換完了 %1件、変換失敗 %2件").arg(converted).arg(failed));
}

void TFormMain::ShowSituation()
{
    LblSituation->setText(SituationText);
}

void TFormMain::RestoreAndActivate()
{
    m_services.shell->restoreAndActivate(this);
}
