#include "engine/MediaHandOver.h"

#include "devices/DeviceRemoval.h"
#include "devices/MediaLibraryFactory.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/DesktopService.h"
#include "platform/FileSystem.h"
#include "queue/ThConvertInfo.h"

#include <QList>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <thread>

namespace tovilo {

namespace {

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
struct MediaHandOver::Run
{
    struct File
    {
        quint64 job; // its id: a job removed meanwhile is not mistaken for a new one
        QString path;
    };
    QList<File> files; // last job first
    std::unique_ptr<MediaLibraryFactory> library;
    bool setUp = false;
    std::atomic<bool> stop = false;
    std::thread worker;

    // Written by the worker, read once it has ended. Indices into files.
    QList<int> added; // on the device once the database is written
    QList<int> alreadyThere;
    QList<int> addedTwice;            // the same as one added before it: there when that one is
    QList<QPair<int, qint64>> noRoom; // with the bytes more it needed
    bool videoRefused = false;
    bool stopped = false;
    std::optional<MediaFailure> failure;
    QByteArray mountPoint;

    void run(MediaHandOver* owner);
};

void MediaHandOver::Run::run(MediaHandOver* owner)
{
    std::unique_ptr<MediaApplication> application;
    try {
        QList<qint64> sizes;
        for (const File& file : std::as_const(files)) {
            const std::optional<FileFacts> facts = pathFacts(fromUtf16(file.path));
            sizes.append(facts ? facts->size : 0);
        }
        if (setUp)
            library->initialiseDevice();
        application = library->createApplication();
        mountPoint = application->mountPoint();
        QMetaObject::invokeMethod(
            owner, [owner] { emit owner->situationChanged(checkingRoomText()); },
            Qt::QueuedConnection);
        // Room first, in queue order (the list runs the other way): what the device has takes
        // none, and a file that does not fit is passed over for the next.
        std::optional<qint64> room = application->room();
        qint64 total = 0;
        QList<bool> goes(files.size(), false);
        QList<int> refused;
        for (qsizetype i = files.size() - 1; i >= 0 && !stop; --i) {
            if (application->hasFile(files[i].path)) {
                alreadyThere.append(int(i));
                continue;
            }
            const qint64 need = application->spaceFor(sizes[i]);
            if (room && need > *room) {
                refused.append(int(i));
                continue;
            }
            if (room)
                *room -= need;
            goes[i] = true;
            total += sizes[i];
        }
        for (int i : std::as_const(refused))
            noRoom.append({i, application->spaceFor(sizes[i]) - room.value_or(0)});
        const int count = int(goes.count(true));
        const int notFitting = int(noRoom.size());
        int number = 0;
        qint64 bytesDone = 0;
        for (int i = 0; i < files.size(); ++i) {
            if (stop) {
                stopped = true;
                break;
            }
            if (!goes[i])
                continue;
            ++number;
            QMetaObject::invokeMethod(
                owner,
                [owner, number, count, notFitting, bytesDone, total] {
                    owner->showProgress(number, count, notFitting,
                                        double(bytesDone) / double(total));
                },
                Qt::QueuedConnection);
            std::unique_ptr<MediaPlaylist> playlist = application->libraryPlaylist();
            try {
                if (playlist->addFile(files[i].path))
                    added.append(i);
                else // the same episode twice in one hand-over
                    addedTwice.append(i);
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
                addedTwice.clear();
            }
        } else {
            // Nothing was opened, or the release itself failed and took this session's files
            // off the device again.
            added.clear();
            addedTwice.clear();
        }
    }
    QMetaObject::invokeMethod(owner, &MediaHandOver::finish, Qt::QueuedConnection);
}

MediaHandOver::MediaHandOver(ThConvertInfoObjectList& jobs, DesktopService& desktop,
                             MediaLibraryFactory& mediaLibrary, DeviceRemovalService* removal,
                             QObject* parent)
    : QObject(parent), m_jobs(jobs), m_desktop(desktop), m_mediaLibrary(mediaLibrary),
      m_removal(removal), TimerRegistiTunes(new QTimer(this))
{
    TimerRegistiTunes->setObjectName(QStringLiteral("TimerRegistiTunes"));
    TimerRegistiTunes->setInterval(1000);
    TimerRegistiTunes->setSingleShot(true);
    connect(TimerRegistiTunes, &QTimer::timeout, this, &MediaHandOver::TimerRegistiTunesTimer);
}

MediaHandOver::~MediaHandOver()
{
    if (m_run) {
        m_run->stop = true;
        m_run->worker.join();
    }
}

void MediaHandOver::schedule()
{
    TimerRegistiTunes->start();
}

bool MediaHandOver::isScheduled() const
{
    return TimerRegistiTunes->isActive();
}

bool MediaHandOver::startScheduled()
{
    if (!isScheduled())
        return false;
    TimerRegistiTunesTimer();
    return true;
}

void MediaHandOver::TimerRegistiTunesTimer()
{
    TimerRegistiTunes->stop();
    AddToiTunes();
}

void MediaHandOver::AddToiTunes()
{
    if (m_halted || m_run)
        return;
    auto run = std::make_unique<Run>();
    for (int i = m_jobs.Count() - 1; i >= 0; --i) {
        ThConvertInfoObject* job = m_jobs.Items(i);
        if (job->Status != csConverted)
            continue;
        run->files.append({job->Id, job->OutputFile});
        m_jobs.SetHandOverNote(*job, THandOverNote::None);
    }
    // Busy from here: the question below may let events in, and nothing else may start then.
    emit started();
    // The device is chosen here, where its volume lists are kept; the worker opens only it.
    try {
        ChosenMediaDevice device = m_mediaLibrary.chooseDevice();
        // Setting up writes a new, empty library onto the device: only for something to
        // hand over, and only when allowed.
        if (!device.initialised &&
            (run->files.isEmpty() || !m_allowSetUp || !m_allowSetUp() || m_halted))
            throw MediaError(MediaFailure::NotInitialised, QStringLiteral("not set up"));
        run->library = std::move(device.library);
        run->setUp = !device.initialised;
    } catch (...) {
        emit finished({HandOverResult::Failed, mediaFailureText(currentMediaFailure()), {}});
        return;
    }
    m_run = std::move(run);
    m_run->worker = std::thread(&Run::run, m_run.get(), this);
}

void MediaHandOver::stop()
{
    if (m_run)
        m_run->stop = true;
}

void MediaHandOver::halt()
{
    m_halted = true;
    TimerRegistiTunes->stop();
}

void MediaHandOver::showProgress(int number, int count, int notFitting, double done)
{
    if (!m_run)
        return;
    emit situationChanged(handOverProgressText(number, count, notFitting));
    m_desktop.showProgress(std::isfinite(done) ? done : 0, count - number + 1);
}

void MediaHandOver::finish()
{
    const std::unique_ptr<Run> run = std::move(m_run);
    run->worker.join();
    // Jobs removed meanwhile are not there to be marked.
    const auto jobAt = [&](int index) { return m_jobs.Find(run->files[index].job); };
    for (int index : std::as_const(run->added)) {
        if (ThConvertInfoObject* job = jobAt(index))
            m_jobs.SetStatus(*job, csTransferred, job->EncoderError); // its notice stays
    }
    // What the device had already is there as well, and the row says so.
    for (int index : run->alreadyThere + run->addedTwice) {
        if (ThConvertInfoObject* job = jobAt(index)) {
            m_jobs.SetStatus(*job, csTransferred);
            m_jobs.SetHandOverNote(*job, THandOverNote::AlreadyOnDevice);
        }
    }
    for (const auto& [index, bytesShort] : std::as_const(run->noRoom)) {
        if (ThConvertInfoObject* job = jobAt(index))
            m_jobs.SetHandOverNote(*job, THandOverNote::NoRoom, bytesShort);
    }
    m_desktop.clearProgress();
    emit situationChanged(QString());
    const int notFitting = int(run->noRoom.size());
    const bool anyThere =
        !run->added.isEmpty() || !run->alreadyThere.isEmpty() || !run->addedTwice.isEmpty();
    const HandOverResult::Outcome partly =
        anyThere ? HandOverResult::Partial : HandOverResult::Failed;
    HandOverResult result{HandOverResult::Done, QString(), run->mountPoint, notFitting};
    if (run->failure)
        result = {partly, mediaFailureText(*run->failure), run->mountPoint, notFitting};
    else if (run->stopped)
        result = {partly, handOverStoppedText(), run->mountPoint, notFitting};
    else if (run->videoRefused)
        // Not everything is on the device, so no word of completion.
        result = {HandOverResult::Partial, mediaFailureText(MediaFailure::NoVideo), run->mountPoint,
                  notFitting};
    else if (notFitting > 0 && !anyThere)
        result = {HandOverResult::Failed, notFittingText(notFitting), run->mountPoint, notFitting};
    emit finished(result);
}

bool MediaHandOver::canRemoveDevice() const
{
    return m_removal != nullptr && m_removal->isAvailable();
}

void MediaHandOver::removeDevice(const QByteArray& mountPoint)
{
    if (m_removal == nullptr)
        return;
    emit situationChanged(removingDeviceText());
    m_removal->removeDevice(mountPoint, this, [this](std::optional<RemovalFailure> failure) {
        emit situationChanged(removalText(failure));
    });
}

} // namespace tovilo
