#include "engine/ConversionEngine.h"

#include "engine/ConversionRunner.h"
#include "engine/UserTexts.h"
#include "platform/DesktopService.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "queue/EncoderFailure.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>

namespace tovilo {

namespace {

// Waits for `intervalMs` while the program keeps handling events, without spinning.
void waitProcessingEvents(int intervalMs)
{
    QEventLoop loop;
    QTimer::singleShot(intervalMs, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

ConversionEngine::ConversionEngine(ConversionRunner& runner, DesktopService& desktop,
                                   MediaLibraryFactory& mediaLibrary, DeviceRemovalService* removal,
                                   QObject* parent)
    : QObject(parent), m_runner(runner), m_desktop(desktop), m_progress(desktop), m_keeper(m_jobs),
      m_handOver(m_jobs, desktop, mediaLibrary, removal)
{
    // The runner delivers from the event loop; an error in a handler ends in the error box.
    connect(&m_runner, &ConversionRunner::lineReceived, this, [this](const QByteArray& line) {
        guardedStep([&] { DosCommandConvertNewLine(line); });
    });
    connect(&m_runner, &ConversionRunner::runFinished, this, [this](quint32 exitCode) {
        guardedStep([&] { DosCommandConvertTerminated(exitCode); });
    });
    connect(&m_handOver, &MediaHandOver::situationChanged, this,
            &ConversionEngine::situationChanged);
    connect(&m_handOver, &MediaHandOver::started, this, [this] {
        updateInhibitor(); // the machine stays awake while files go to the device
        emit handOverStarted();
    });
    // Queued: the worker's end is joined before anyone hears of it, and the window's answer to
    // it (a box) does not run inside the hand-over's own call.
    connect(&m_handOver, &MediaHandOver::finished, this, [this](const HandOverResult& result) {
        updateInhibitor();
        emit handOverFinished(result);
    });
}

ConversionEngine::~ConversionEngine()
{
    if (m_inhibitor)
        m_inhibitor->setHeld(false);
}

void ConversionEngine::setSleepInhibitor(SleepInhibitor& inhibitor)
{
    m_inhibitor = &inhibitor;
    // A sleep that goes ahead anyway (the user suspends on purpose) pauses the encoder rather
    // than leave it to find its clock jumped; waking up lets it go on.
    connect(&inhibitor, &SleepInhibitor::sleeping, this, [this](bool beforeSleep) {
        if (beforeSleep) {
            if (!m_paused && pause())
                m_pausedForSleep = true;
        } else if (m_pausedForSleep) {
            m_pausedForSleep = false;
            resume();
        }
    });
    updateInhibitor();
}

bool ConversionEngine::hasFinishedJobs() const
{
    for (int i = m_jobs.Count() - 1; i >= 0; --i) {
        const TConvertStatus status = m_jobs.Items(i)->Status;
        if (status == csConverted || status == csTransferred)
            return true;
    }
    return false;
}

void ConversionEngine::purgeFinishedJobs()
{
    for (int i = m_jobs.Count() - 1; i >= 0; --i) {
        ThConvertInfoObject* job = m_jobs.Items(i);
        if (job->Status == csConverted || job->Status == csTransferred)
            m_jobs.Delete(i);
        else if (job->Status == csFailed)
            m_jobs.SetStatus(*job, csWaiting);
    }
}

bool ConversionEngine::start(bool audioOnly, bool handOverAfterwards)
{
    if (m_handOver.isRunning() || m_handOver.isScheduled() || m_queueRunning)
        return false;
    m_cancelling = false;
    m_handOverAfterwards = handOverAfterwards;
    m_jobs.AudioOnly = audioOnly;
    m_searchFrom = 0;
    m_currentIndex = -1;
    int queueSize = 0;
    for (int i = 0; i < m_jobs.Count(); ++i)
        queueSize += m_jobs.Items(i)->Status == csWaiting ? 1 : 0;
    m_progress.startRun(queueSize);
    m_converted = 0;
    m_failed = 0;
    m_queueRunning = true;
    m_nextAfterResume = false;
    setPausedState(false);
    updateInhibitor();
    startNextJob();
    return true;
}

ThConvertInfoObject* ConversionEngine::takeNextWaiting()
{
    const int count = m_jobs.Count();
    for (int i = std::max(m_searchFrom, 0); i < count; ++i) {
        ThConvertInfoObject* job = m_jobs.Items(i);
        if (job->Status == csWaiting) {
            m_searchFrom = i + 1;
            m_currentIndex = i;
            return job;
        }
    }
    m_searchFrom = count;
    m_currentIndex = -1;
    return nullptr;
}

ThConvertInfoObject* ConversionEngine::currentJob() const
{
    if (m_currentIndex >= 0 && m_currentIndex < m_jobs.Count()) {
        ThConvertInfoObject* job = m_jobs.Items(m_currentIndex);
        if (job->Status == csConverting)
            return job;
    }
    // Someone else changed the queue under the run.
    return m_jobs.FirstConverting();
}

void ConversionEngine::startNextJob()
{
    if (m_halted)
        return;
    if (m_paused) {
        m_nextAfterResume = true;
        return;
    }
    emit situationChanged(QString());
    ThConvertInfoObject* job = takeNextWaiting();
    if (job == nullptr) {
        endRun();
        emit queueDone();
        return;
    }
    m_progress.startJob();

    const QByteArray source = job->sourcePath();
    const QByteArray extension = m_jobs.AudioOnly ? ".mp3" : ".mp4";
    const QByteArray wanted =
        m_jobs.Settings.SaveDir + changeFileExt(extractFileName(source), extension);
    // The name is claimed before the encoder starts, so another program or job never writes
    // into it; a name that turns up between the choice and the claim only moves us on.
    QByteArray output;
    int error = EEXIST;
    for (int attempt = 0; error == EEXIST && attempt < 100; ++attempt) {
        output = uniqueFileName(wanted);
        error = m_output.reserve(output);
    }
    job->setOutputPath(output);
    if (error != 0) {
        // Nothing was created, so nothing is deleted; the row says why as for an encoder.
        ++m_failed;
        m_jobs.SetStatus(*job, csFailed, outputNotClaimedLine(error));
        startNextJobLater();
        return;
    }
    // Kept as converting only with its new output, and before the encoder writes it: a run
    // cut short by the program's end then names the one file to remove at the next start.
    job->LeftBehind.clear();
    m_jobs.SetStatus(*job, csConverting);
    m_keeper.saveNow();
    m_notice.clear();
    m_runner.start("lib/ffmpeg" + m_jobs.BuildArguments(source, output));
}

void ConversionEngine::startNextJobLater()
{
    // From the main loop, not from inside the handler that ended the job.
    QMetaObject::invokeMethod(
        this, [this] { guardedStep([this] { startNextJob(); }); }, Qt::QueuedConnection);
}

void ConversionEngine::guardedStep(const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::exception& error) {
        emit errorRaised(errorMessage(error));
    }
}

QByteArray ConversionEngine::uniqueFileName(const QByteArray& path)
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

void ConversionEngine::DosCommandConvertNewLine(const QByteArray& line)
{
    // A partial line may be followed by the same line complete: the last one counts.
    if (isEncoderErrorLine(line)) {
        if (ThConvertInfoObject* job = currentJob())
            job->EncoderError = line;
        return;
    }
    if (isEncoderNoticeLine(line)) {
        m_notice = line;
        return;
    }
    if (m_progress.readLine(line))
        showSituation();
}

void ConversionEngine::showSituation()
{
    emit situationChanged(m_progress.situation(m_paused));
}

bool ConversionEngine::pause()
{
    if (!m_queueRunning || m_paused || m_cancelling)
        return false;
    if (m_runner.isRunning())
        m_runner.setPaused(true);
    setPausedState(true);
    return true;
}

bool ConversionEngine::resume()
{
    if (!m_paused)
        return false;
    if (m_runner.isRunning())
        m_runner.setPaused(false);
    setPausedState(false);
    if (m_nextAfterResume) {
        m_nextAfterResume = false;
        startNextJobLater();
    }
    return true;
}

void ConversionEngine::setPausedState(bool paused)
{
    if (m_paused == paused)
        return;
    m_paused = paused;
    m_progress.setPaused(paused);
    if (!paused)
        m_pausedForSleep = false;
    updateInhibitor();
    if (m_queueRunning)
        showSituation();
    emit pausedChanged(paused);
}

void ConversionEngine::endRun()
{
    m_queueRunning = false;
    m_nextAfterResume = false;
    setPausedState(false);
    updateInhibitor();
}

void ConversionEngine::updateInhibitor()
{
    if (m_inhibitor)
        m_inhibitor->setHeld((m_queueRunning && !m_paused) || m_handOver.isRunning());
}

void ConversionEngine::DosCommandConvertTerminated(quint32 exitCode)
{
    ThConvertInfoObject* job = currentJob();
    if (m_cancelling || job == nullptr)
        return;
    if (exitCode == 0) {
        ++m_converted;
        m_jobs.SetStatus(*job, csConverted, m_notice);
    } else {
        ++m_failed;
        const bool notStarted = job->EncoderError.isEmpty() && m_runner.failedToStart();
        m_jobs.SetStatus(*job, csFailed, notStarted ? encoderNotStartedLine() : job->EncoderError);
        // The encoder leaves a broken file behind; its name was chosen free for this job.
        if (m_output.remove() == OwnedFile::Removal::NotOurs)
            emit outputNotDeleted(m_output.path());
    }
    m_output.forget();
    startNextJobLater();
}

bool ConversionEngine::isRunning() const
{
    return m_runner.isRunning();
}

bool ConversionEngine::stop()
{
    if (m_cancelling)
        return false;
    if (!m_runner.isRunning()) {
        if (!m_paused)
            return false;
        // Paused between two jobs: nothing runs, the queue simply ends here.
        endRun();
        m_progress.clear();
        emit situationChanged(QString());
        return true;
    }
    m_cancelling = true;
    // A paused encoder is killed as it stands; it cannot clean up, so we do.
    m_runner.stopAndWait();
    if (ThConvertInfoObject* job = currentJob()) {
        m_jobs.SetStatus(*job, csWaiting);
        deletePartialOutput();
    }
    m_output.forget();
    endRun();
    m_progress.clear();
    emit situationChanged(QString());
    // At once: the program may be ending.
    m_keeper.saveNow();
    m_cancelling = false;
    return true;
}

void ConversionEngine::halt()
{
    m_halted = true;
    m_handOver.halt();
}

void ConversionEngine::deletePartialOutput()
{
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        const OwnedFile::Removal removal = m_output.remove();
        if (removal == OwnedFile::Removal::Removed || removal == OwnedFile::Removal::Gone)
            return;
        // What stands at the name now is not the file this job made: it stays.
        if (removal == OwnedFile::Removal::NotOurs || elapsed.elapsed() >= 10000) {
            emit outputNotDeleted(m_output.path());
            return;
        }
        waitProcessingEvents(100);
    }
}

void ConversionEngine::endQueue(bool userElsewhere)
{
    if (userElsewhere)
        m_desktop.notify(conversionDoneText(), queueOutcomeText(m_converted, m_failed));
    m_progress.clear();
    if (m_handOverAfterwards && !m_halted)
        m_handOver.schedule();
}

} // namespace tovilo
