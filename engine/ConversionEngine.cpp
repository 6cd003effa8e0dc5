#include "engine/ConversionEngine.h"

#include "devices/DeviceRemoval.h"
#include "devices/MediaLibraryFactory.h"
#include "engine/ConversionRunner.h"
#include "engine/EncoderOutput.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/DesktopService.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "platform/SleepInhibitor.h"
#include "queue/EncoderFailure.h"
#include "queue/ThConvertInfo.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

namespace tovilo {

namespace {

// Waits for `intervalMs` while the program keeps handling events, without spinning.
void waitProcessingEvents(int intervalMs)
{
    QEventLoop loop;
    QTimer::singleShot(intervalMs, &loop, &QEventLoop::quit);
    loop.exec();
}

// Why the current exception ended a hand-over.
MediaFailure currentMediaFailure()
{
    try {
        throw;
    } catch (const MediaError& error) {
        return error.failure();
    } catch (...) {
        return MediaFailure::Failed;
    }
}

} // namespace

// One hand-over: what the worker is given, and what it found.
struct ConversionEngine::HandOver
{
    struct File
    {
        ThConvertInfoObject* job;
        QString path;
    };
    QList<File> files; // last job first
    std::unique_ptr<MediaLibraryFactory> library;
    bool setUp = false;
    std::atomic<bool> stop = false;
    std::thread worker;

    // Written by the worker, read once it has ended.
    QList<int> added; // indices into files, on the device once the database is written
    bool videoRefused = false;
    bool stopped = false;
    std::optional<MediaFailure> failure;
    QByteArray mountPoint;
    qint64 totalBytes = 0;

    void run(ConversionEngine* engine);
};

ConversionEngine::ConversionEngine(ConversionRunner& runner, DesktopService& desktop,
                                   MediaLibraryFactory& mediaLibrary, DeviceRemovalService* removal,
                                   QObject* parent)
    : QObject(parent), m_runner(runner), m_desktop(desktop), m_mediaLibrary(mediaLibrary),
      m_removal(removal)
{
    // The runner delivers from the event loop; an error in a handler ends in the error box.
    connect(&m_runner, &ConversionRunner::lineReceived, this,
            [this](const QByteArray& line) { guardedStep([&] { lineReceived(line); }); });
    connect(&m_runner, &ConversionRunner::runFinished, this,
            [this](quint32 exitCode) { guardedStep([&] { runFinished(exitCode); }); });
    // Every change of the queue is kept on disk; a burst of them is written once.
    connect(&m_jobs, &ThConvertInfoObjectList::changed, this, &ConversionEngine::scheduleSave);
}

ConversionEngine::~ConversionEngine()
{
    // A hand-over under way ends after its current file, with the database written.
    if (m_handOver) {
        m_handOver->stop = true;
        m_handOver->worker.join();
    }
    queueChanged();
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

QueueStore::Restored ConversionEngine::keepQueueIn(const QByteArray& dataFolder)
{
    m_store = std::make_unique<QueueStore>(dataFolder);
    const QueueStore::Restored restored = m_store->restore(m_jobs);
    m_mode = restored.mode;
    // What was put back is written at once as it now stands (the interrupted job waiting).
    m_store->save(m_jobs, m_mode);
    return restored;
}

void ConversionEngine::queueChanged()
{
    m_unsaved = false;
    if (m_store)
        m_store->save(m_jobs, m_mode);
}

void ConversionEngine::scheduleSave()
{
    // A burst of changes (files added one by one) is saved once, from the event loop, unless
    // the engine saved them itself in the meantime: a save compares the whole queue.
    m_unsaved = true;
    if (m_savePending || !m_store)
        return;
    m_savePending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_savePending = false;
            if (m_unsaved)
                queueChanged();
        },
        Qt::QueuedConnection);
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

void ConversionEngine::start(bool audioOnly, bool handOverAfterwards)
{
    m_cancelling = false;
    m_handOverAfterwards = handOverAfterwards;
    m_jobs.AudioOnly = audioOnly;
    m_searchFrom = 0;
    m_currentIndex = -1;
    m_queueSize = 0;
    for (int i = 0; i < m_jobs.Count(); ++i)
        m_queueSize += m_jobs.Items(i)->Status == csWaiting ? 1 : 0;
    m_started = 0;
    m_converted = 0;
    m_failed = 0;
    m_queueRunning = true;
    m_nextAfterResume = false;
    setPausedState(false);
    updateInhibitor();
    startNextJob();
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
    m_progressText.clear();
    m_remainingText.clear();
    emit situationChanged(QString());
    ThConvertInfoObject* job = takeNextWaiting();
    if (job == nullptr) {
        endRun();
        emit queueDone();
        return;
    }
    ++m_started;
    m_sourceLength = 0;
    m_remaining.reset();
    m_jobClock.start();
    m_pausedMs = 0;
    m_pauseStartMs = -1;
    m_jobs.SetStatus(*job, csConverting);
    publishProgress(0);

    const QByteArray source = job->sourcePath();
    const QByteArray extension = m_jobs.AudioOnly ? ".mp3" : ".mp4";
    const QByteArray wanted = m_jobs.SaveDir + changeFileExt(extractFileName(source), extension);
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
    queueChanged();
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

void ConversionEngine::lineReceived(const QByteArray& line)
{
    // A partial line may be followed by the same line complete: the last one counts.
    if (isEncoderErrorLine(line)) {
        if (ThConvertInfoObject* job = currentJob())
            job->EncoderError = line;
        return;
    }
    if (m_sourceLength <= 0) {
        if (const std::optional<double> length = durationSeconds(line)) {
            m_sourceLength = *length;
            return;
        }
    }
    const std::optional<double> seconds = progressSeconds(line);
    if (!seconds)
        return;
    m_progressText = progressTextAt(*seconds);
    m_remainingText.clear();
    if (m_sourceLength > 0) {
        publishProgress(*seconds / m_sourceLength);
        if (const std::optional<double> left =
                m_remaining.update(*seconds, m_sourceLength, workedSeconds()))
            m_remainingText = remainingText(*left);
    }
    showSituation();
}

void ConversionEngine::showSituation()
{
    QString text = m_progressText;
    if (m_paused) {
        if (!text.isEmpty())
            text += QStringLiteral("　");
        text += pausedText();
    } else {
        text += m_remainingText;
    }
    emit situationChanged(text);
}

double ConversionEngine::workedSeconds() const
{
    if (!m_jobClock.isValid())
        return 0;
    const qint64 now = m_jobClock.elapsed();
    const qint64 pausing = m_pauseStartMs >= 0 ? now - m_pauseStartMs : 0;
    return static_cast<double>(now - m_pausedMs - pausing) / 1000.0;
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
    if (paused) {
        m_pauseStartMs = m_jobClock.isValid() ? m_jobClock.elapsed() : -1;
    } else {
        if (m_pauseStartMs >= 0)
            m_pausedMs += m_jobClock.elapsed() - m_pauseStartMs;
        m_pauseStartMs = -1;
        m_pausedForSleep = false;
    }
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
        m_inhibitor->setHeld((m_queueRunning && !m_paused) || isHandingOver());
}

void ConversionEngine::runFinished(quint32 exitCode)
{
    ThConvertInfoObject* job = currentJob();
    if (m_cancelling || job == nullptr)
        return;
    if (exitCode == 0) {
        ++m_converted;
        m_jobs.SetStatus(*job, csConverted);
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
        clearProgress();
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
    clearProgress();
    emit situationChanged(QString());
    // At once: the program may be ending.
    queueChanged();
    m_cancelling = false;
    return true;
}

void ConversionEngine::halt()
{
    m_halted = true;
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
    clearProgress();
}

void ConversionEngine::publishProgress(double currentFraction)
{
    // The running job and those still waiting.
    const int jobsLeft = std::max(m_queueSize - m_started + 1, 0);
    const int size = std::max({m_queueSize, jobsLeft, 1});
    const double fraction =
        std::clamp((size - jobsLeft + std::clamp(currentFraction, 0.0, 1.0)) / size, 0.0, 1.0);
    // A dock redraws on every update: send only what it would show differently.
    const int percent = static_cast<int>(fraction * 100);
    if (percent == m_publishedPercent && jobsLeft == m_publishedJobsLeft)
        return;
    m_publishedPercent = percent;
    m_publishedJobsLeft = jobsLeft;
    m_desktop.showProgress(fraction, jobsLeft);
}

void ConversionEngine::clearProgress()
{
    m_publishedPercent = -1;
    m_publishedJobsLeft = -1;
    m_desktop.clearProgress();
}

void ConversionEngine::HandOver::run(ConversionEngine* engine)
{
    std::unique_ptr<MediaApplication> application;
    try {
        QList<qint64> sizes;
        for (const File& file : std::as_const(files)) {
            struct stat info;
            const QByteArray path = fromUtf16(file.path);
            sizes.append(::stat(path.constData(), &info) == 0 ? info.st_size : 0);
            totalBytes += sizes.last();
        }
        if (setUp)
            library->initialiseDevice();
        application = library->createApplication();
        mountPoint = application->mountPoint();
        qint64 bytesDone = 0;
        for (int i = 0; i < files.size(); ++i) {
            if (stop) {
                stopped = true;
                break;
            }
            QMetaObject::invokeMethod(
                engine, [engine, i, bytesDone] { engine->handOverProgress(i + 1, bytesDone); },
                Qt::QueuedConnection);
            std::unique_ptr<MediaPlaylist> playlist = application->libraryPlaylist();
            try {
                playlist->addFile(files[i].path);
                added.append(i);
            } catch (const MediaError& error) {
                // A video for an iPod without video: the others may still go.
                if (error.failure() != MediaFailure::NoVideo)
                    throw;
                videoRefused = true;
            }
            bytesDone += sizes[i];
        }
        // Releasing writes the device's database; only then are the files really there.
        std::exchange(application, nullptr)->release();
    } catch (...) {
        failure = currentMediaFailure();
        if (application) {
            try {
                application->release();
            } catch (...) {
                failure = currentMediaFailure();
                added.clear();
            }
        } else {
            // Nothing was opened, or the release itself failed and took this session's files
            // off the device again.
            added.clear();
        }
    }
    QMetaObject::invokeMethod(engine, &ConversionEngine::finishHandOver, Qt::QueuedConnection);
}

void ConversionEngine::startHandOver(const std::function<bool()>& allowSetUp)
{
    if (m_halted || m_handOver)
        return;
    auto handOver = std::make_unique<HandOver>();
    for (int i = m_jobs.Count() - 1; i >= 0; --i) {
        ThConvertInfoObject* job = m_jobs.Items(i);
        if (job->Status == csConverted)
            handOver->files.append({job, job->OutputFile});
    }
    // The device is chosen here, where its volume lists are kept; the worker opens only it.
    try {
        ChosenMediaDevice device = m_mediaLibrary.chooseDevice();
        // Setting up writes a new, empty library onto the device: only for something to
        // hand over, and only when allowed.
        if (!device.initialised &&
            (handOver->files.isEmpty() || !allowSetUp || !allowSetUp() || m_halted))
            throw MediaError(MediaFailure::NotInitialised, QStringLiteral("not set up"));
        handOver->library = std::move(device.library);
        handOver->setUp = !device.initialised;
    } catch (...) {
        emit handOverFinished(
            {HandOverResult::Failed, mediaFailureText(currentMediaFailure()), {}});
        return;
    }
    m_handOver = std::move(handOver);
    m_handOver->worker = std::thread(&HandOver::run, m_handOver.get(), this);
    // The machine stays awake while files go to the device.
    updateInhibitor();
}

void ConversionEngine::stopHandOver()
{
    if (m_handOver)
        m_handOver->stop = true;
}

void ConversionEngine::handOverProgress(int number, qint64 bytesDone)
{
    if (!m_handOver)
        return;
    const qsizetype count = m_handOver->files.size();
    emit situationChanged(handOverProgressText(number, static_cast<int>(count)));
    const qint64 total = m_handOver->totalBytes;
    m_desktop.showProgress(total > 0 ? double(bytesDone) / double(total) : 0, count - number + 1);
}

void ConversionEngine::finishHandOver()
{
    const std::unique_ptr<HandOver> handOver = std::move(m_handOver);
    handOver->worker.join();
    // The jobs of a hand-over cannot be removed while it runs, but the list is looked at again
    // rather than trusted.
    QList<ThConvertInfoObject*> present;
    for (int i = 0; i < m_jobs.Count(); ++i)
        present.append(m_jobs.Items(i));
    for (int index : std::as_const(handOver->added)) {
        ThConvertInfoObject* job = handOver->files[index].job;
        if (present.contains(job))
            m_jobs.SetStatus(*job, csTransferred);
    }
    updateInhibitor();
    queueChanged();
    clearProgress();
    emit situationChanged(QString());
    const HandOverResult::Outcome partly =
        handOver->added.isEmpty() ? HandOverResult::Failed : HandOverResult::Partial;
    HandOverResult result{HandOverResult::Done, QString(), handOver->mountPoint};
    if (handOver->failure)
        result = {partly, mediaFailureText(*handOver->failure), handOver->mountPoint};
    else if (handOver->stopped)
        result = {partly, handOverStoppedText(), handOver->mountPoint};
    else if (handOver->videoRefused)
        // Not everything is on the device, so no word of completion.
        result = {HandOverResult::Partial, mediaFailureText(MediaFailure::NoVideo),
                  handOver->mountPoint};
    emit handOverFinished(result);
}

bool ConversionEngine::canRemoveDevice() const
{
    return m_removal != nullptr && m_removal->isAvailable();
}

void ConversionEngine::removeDevice(const QByteArray& mountPoint)
{
    if (m_removal == nullptr)
        return;
    emit situationChanged(removingDeviceText());
    m_removal->removeDevice(mountPoint, this, [this](std::optional<RemovalFailure> failure) {
        emit situationChanged(removalText(failure));
    });
}

} // namespace tovilo
