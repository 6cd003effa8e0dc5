#include "runner/DosCommand_p.h"

#include "platform/CodePage.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"

#include <QEventLoop>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

namespace tovilo {

void SharedLines::append(const QByteArray& line)
{
    {
        std::unique_lock lock(m_lock);
        if (m_limit >= 0 && m_lines.size() >= m_limit)
            m_lines.removeFirst();
        m_lines.append(line);
    }
    if (m_onAppend)
        m_onAppend();
}

void SharedLines::setLimit(qsizetype limit)
{
    std::unique_lock lock(m_lock);
    m_limit = limit;
    while (m_limit >= 0 && m_lines.size() > m_limit)
        m_lines.removeFirst();
}

void SharedLines::clear()
{
    std::unique_lock lock(m_lock);
    m_lines.clear();
}

qsizetype SharedLines::count() const
{
    std::shared_lock lock(m_lock);
    return m_lines.size();
}

QList<QByteArray> SharedLines::toList() const
{
    std::shared_lock lock(m_lock);
    return m_lines;
}

std::optional<QByteArray> SharedLines::takeFirst()
{
    std::unique_lock lock(m_lock);
    if (m_lines.isEmpty())
        return std::nullopt;
    return m_lines.takeFirst();
}

} // namespace tovilo

namespace {

// A system call failed while the child ran.
class RunFailure : public std::exception
{
public:
    explicit RunFailure(int error) : m_error(error) {}
    int error() const { return m_error; }
    const char* what() const noexcept override { return "run failed"; }

private:
    int m_error;
};

// The error code a run that failed with this exception reports in ResultCode: the system's,
// where a call failed; otherwise the one recorded before the throw, or errno.
int errorCodeOf(const std::exception_ptr& failure, int recorded, int lastErrno)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RunFailure& runFailure) {
        return runFailure.error();
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (...) {
        return recorded != 0 ? recorded : lastErrno;
    }
}

// How a string list takes a whole text: one item per line, CR, LF and CR LF all break, and a
// break at the very end adds no empty item.
QList<QByteArray> textLines(const QByteArray& text)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(text.mid(start));
    return lines;
}

} // namespace

// ---- TProcessTimer

TProcessTimer::TProcessTimer(QObject* parent) : QObject(parent)
{
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        if (m_paused)
            return;
        ++m_secondsSinceStart;
        ++m_secondsSinceOutput;
        emit ticked();
    });
}

void TProcessTimer::StartCounting()
{
    m_secondsSinceStart = 0;
    m_secondsSinceOutput = 0;
    onMainThread([this] {
        ++m_counting;
        m_tick.start(1000);
    });
}

void TProcessTimer::StopCounting()
{
    // Overlapping runs share the tick: it stops with the last of them.
    onMainThread([this] {
        if (--m_counting <= 0) {
            m_counting = 0;
            m_tick.stop();
        }
    });
}

void TProcessTimer::onMainThread(std::function<void()> call)
{
    // A QTimer is driven by the thread it lives in; a worker can only ask that thread.
    m_calls.post(std::move(call));
}

// ---- TDosThread

TDosThread::TDosThread(TDosCommandPrivate* owner)
    : m_d(owner), m_owner(owner->q), m_timer(owner->timer), m_commandLine(m_owner->CommandLine),
      m_onNewLine(m_owner->OnNewLine), m_onTerminated(m_owner->OnTerminated),
      m_maxTimeAfterBeginning(m_owner->MaxTimeAfterBeginning),
      m_maxTimeAfterLastOutput(m_owner->MaxTimeAfterLastOutput),
      m_priorityClass(m_owner->PriorityClass), m_showWindow(m_owner->ShowWindow),
      m_creationFlag(m_owner->CreationFlag), m_exitCode(tovilo::stillActiveExitCode),
      m_handOver(std::make_shared<HandOver>())
{
    m_owner->InputQueue.clear();
}

TDosThread::~TDosThread()
{
    join();
}

void TDosThread::start()
{
    m_thread = std::thread([this] { threadBody(); });
}

void TDosThread::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void TDosThread::threadBody()
{
    if (!m_stopRequested) {
        try {
            Run();
        } catch (const TCreatePipeError& error) {
            reportStartError(error.message());
        } catch (const TCreateProcessError& error) {
            reportStartError(error.message());
        } catch (...) {
            // Any other failure has been recorded in RunState and ResultCode.
        }
    }
    m_finished = true;
    // The owner joins this thread before it is destroyed, so it is still there to be told.
    m_d->calls.post([d = m_d, this] { d->workerEnded(this); });
}

void TDosThread::reportStartError(const QString& message)
{
    {
        std::lock_guard lock(m_handOver->mutex);
        if (m_handOver->abandoned)
            return;
    }
    QString text = message;
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        text += QLatin1Char('.');
    m_d->calls.post([owner = m_owner, text] {
        if (owner->OnStartError)
            owner->OnStartError(text);
    });
}

bool TDosThread::runOnMainThread(std::function<void()> call)
{
    const std::shared_ptr<HandOver> handOver = m_handOver;
    {
        std::lock_guard lock(handOver->mutex);
        if (handOver->abandoned)
            return false;
    }
    const quint64 ticket = ++m_handOversPosted;
    // After the call only the shared hand-over state is touched: the worker may have been
    // released and destroyed meanwhile. Whatever the call throws is dropped on the main thread,
    // where it was raised: an exception must never unwind through the event loop.
    m_d->calls.post([handOver, ticket, call = std::move(call)] {
        try {
            call();
        } catch (...) {
        }
        {
            std::lock_guard lock(handOver->mutex);
            handOver->completed = ticket;
        }
        handOver->done.notify_all();
    });
    std::unique_lock lock(handOver->mutex);
    handOver->done.wait(lock, [&] { return handOver->completed >= ticket || handOver->abandoned; });
    return handOver->completed >= ticket;
}

void TDosThread::abandon()
{
    {
        std::lock_guard lock(m_handOver->mutex);
        m_handOver->abandoned = true;
    }
    m_handOver->done.notify_all();
}

void TDosThread::Run()
{
    using namespace tovilo;
    bool pipesCreated = false;
    bool childCreated = false;
    Pipe input;
    Pipe output;
    ChildProcess child;
    m_exitCode = stillActiveExitCode;

    // However the run ends, it takes the one end-of-run path below; a failure is passed on
    // after it.
    std::exception_ptr failure;
    try {
        m_d->runState = rsPreparing;
        QByteArray buffer(1024, '\0');

        m_d->runState = rsCreatingPipes;
        if (const int error = createPipe(input)) {
            m_lastError = error;
            throw TCreatePipeError(QStringLiteral("Failed to create a pipe: ") +
                                   QString::fromLocal8Bit(std::strerror(error)));
        }
        if (const int error = createPipe(output)) {
            m_lastError = error;
            input.readEnd.reset();
            input.writeEnd.reset();
            throw TCreatePipeError(QStringLiteral("Failed to create a pipe: ") +
                                   QString::fromLocal8Bit(std::strerror(error)));
        }
        pipesCreated = true;

        m_d->runState = rsCreatingProcess;
        const QList<QByteArray> argv = splitCommandLine(m_commandLine);
        if (const int error = child.start(argv, input.readEnd.get(), output.writeEnd.get())) {
            m_lastError = error;
            throw TCreateProcessError(toUtf16(m_commandLine) + QStringLiteral(" doesn't exist."));
        }
        childCreated = true;
        // The child holds its own copies. Keeping ours open would hide its end: a write to its
        // input would block instead of failing once it is gone.
        input.readEnd.reset();
        output.writeEnd.reset();
        if (const int error = setNonBlocking(input.writeEnd.get()))
            throw RunFailure(error);
        m_timer->StartCounting();
        m_d->runState = rsRunning;
        m_splitter = LineSplitter();
        m_lastWasPartial = false;

        const int outputFd = output.readEnd.get();
        bool outputOpen = true;
        for (;;) {
            m_exitCode = child.exitCode();
            // The exit code is sampled before the pipe is read, so everything the child wrote
            // before it ended is delivered in the pass that sees the end.
            const qint64 available = bytesAvailable(outputFd);
            if (available < 0)
                throw RunFailure(errno);
            if (available > 0) {
                if (available > buffer.size())
                    buffer.resize(available); // never shrinks: one read drains the pipe
                const qint64 n =
                    readSome(outputFd, buffer.data(), static_cast<size_t>(buffer.size()));
                if (n < 0)
                    throw RunFailure(errno);
                splitOutput(buffer.constData(), n);
            } else {
                forwardInput(input.writeEnd.get());
            }
            pause(outputFd, child.exitEventFd(), input.writeEnd.get(), outputOpen);
            if (m_pauseWanted != m_paused && !m_stopRequested) {
                m_paused = m_pauseWanted;
                child.sendSignal(m_paused ? SIGSTOP : SIGCONT);
            }

            if (m_exitCode != stillActiveExitCode) {
                m_d->runState = rsExited;
                m_d->resultCode = m_exitCode;
                break;
            }
            if (m_stopRequested) {
                m_d->runState = rsStopped;
                break;
            }
            if (timedOut()) {
                m_d->runState = rsTimedOut;
                break;
            }
        }
        if (!m_splitter.pendingText().isEmpty())
            DeliverOutput(m_splitter.pendingText(), otPartialLine);
    } catch (...) {
        const int lastErrno = errno;
        failure = std::current_exception();
        m_lastError = errorCodeOf(failure, m_lastError, lastErrno);
    }

    if (childCreated) {
        // Kills the child when it was still running and whatever it left in its process
        // group, then collects it.
        child.finish();
        m_timer->StopCounting();
    }
    if (pipesCreated) {
        input.readEnd.reset();
        output.writeEnd.reset();
        output.readEnd.reset();
        input.writeEnd.reset();
    }
    if (m_onTerminated) {
        const quint32 exitCode = m_exitCode;
        runOnMainThread([this, exitCode] { m_onTerminated(m_owner, exitCode); });
    }
    const auto stage = static_cast<TRunState>(m_d->runState.load());
    if (const std::optional<TRunState> failed = tovilo::failureOf(stage)) {
        m_d->runState = *failed;
        m_d->resultCode = static_cast<quint32>(m_lastError);
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TDosThread::pause(int outputFd, int exitFd, int inputFd, bool& outputOpen)
{
    // Instead of sleeping a fixed millisecond, wait for whatever needs the loop: output, the
    // child's end, room in the input pipe for a line in flight, and the wake event (stop,
    // newly queued input, a tick of the time limits). A quiet child then costs no wake-ups;
    // with a fixed 1 ms pause it would cost a thousand a second. Without a pidfd or an
    // eventfd the pause is the plain millisecond.
    using tovilo::WaitEntry;
    const bool eventDriven = exitFd >= 0 && m_wake.isValid();
    WaitEntry entries[4];
    std::size_t count = 0;
    WaitEntry* outputEntry = nullptr;
    if (outputOpen) {
        outputEntry = &entries[count];
        entries[count++].fd = outputFd;
    }
    if (!m_inputLine.isEmpty()) {
        entries[count].fd = inputFd;
        entries[count++].forWriting = true;
    }
    int timeoutMs = 1;
    if (eventDriven) {
        entries[count++].fd = exitFd;
        entries[count++].fd = m_wake.fd();
        // Queued input that waited for a pass without output; a safety net otherwise.
        timeoutMs = m_inputLine.isEmpty() && !m_owner->InputQueue.isEmpty() ? 1 : 1000;
    }
    tovilo::waitForAny(entries, count, timeoutMs);
    // A pipe without writers stays "ready" for ever: leave it out from now on. Its bytes, if
    // any, are still read by the peek of every pass.
    if (outputEntry && outputEntry->hungUp && !outputEntry->ready)
        outputOpen = false;
    m_wake.clear();
}

void TDosThread::RequestStop()
{
    m_stopRequested = true;
    m_wake.signal();
}

void TDosThread::RequestPause(bool paused)
{
    m_pauseWanted = paused;
    m_wake.signal();
}

bool TDosThread::timedOut() const
{
    return (m_maxTimeAfterBeginning > 0 &&
            m_timer->SecondsSinceStart() > m_maxTimeAfterBeginning) ||
           (m_maxTimeAfterLastOutput > 0 &&
            m_timer->SecondsSinceOutput() > m_maxTimeAfterLastOutput);
}

void TDosThread::splitOutput(const char* data, qsizetype size)
{
    using Break = tovilo::LineSplitter::Break;
    m_splitter.split(
        data, size,
        [this](const QByteArray& text, Break lineBreak) {
            if (lineBreak == Break::None) {
                DeliverOutput(text, otPartialLine);
                return;
            }
            // Set before the delivery, so a handler sees the break of the line it receives.
            m_d->outputReturnCode = lineBreak == Break::CrLf ? rcCRLF : rcLF;
            DeliverOutput(text, otCompleteLine);
        },
        [this] { return m_stopRequested.load(std::memory_order_relaxed); });
}

void TDosThread::forwardInput(int inputFd)
{
    while (!m_stopRequested) {
        if (m_inputLine.isEmpty()) {
            std::optional<QByteArray> next = m_owner->InputQueue.takeFirst();
            if (!next)
                return;
            // An empty line has nothing to write and nothing to echo.
            if (next->isEmpty())
                continue;
            m_inputLine = *next;
            m_inputWritten = 0;
        }
        const qint64 n =
            tovilo::writeSome(inputFd, m_inputLine.constData() + m_inputWritten,
                              static_cast<size_t>(m_inputLine.size() - m_inputWritten));
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // the child is not reading: go on polling, write the rest later
        if (n >= 0) {
            m_inputWritten += n;
            if (m_inputWritten < m_inputLine.size())
                continue;
        }
        // Written, or lost because the child's input is closed (EPIPE): either way done.
        const QByteArray line = m_inputLine;
        m_inputLine.clear();
        if (m_owner->InputToOutput) {
            m_splitter.echo(line, m_lastWasPartial, [this](const QByteArray& text, bool complete) {
                DeliverOutput(text, complete ? otCompleteLine : otPartialLine);
            });
        }
    }
}

void TDosThread::DeliverOutput(const QByteArray& text, TOutputType type)
{
    try {
        m_owner->DeliveredLines.append(text);
        m_timer->ResetOutputCounter();
        m_transitText = text;
        m_transitType = type;
        runOnMainThread([this] { ApplyOutput(); });
    } catch (...) {
        // Only this delivery is lost; the run goes on.
    }
}

void TDosThread::ApplyOutput()
{
    if (QList<QByteArray>* list = m_owner->OutputList) {
        if (list->isEmpty()) {
            if (m_transitType == otCompleteLine)
                list->append(m_transitText);
            else
                *list = textLines(m_transitText);
        } else if (m_lastWasPartial) {
            list->last() = m_transitText;
        } else {
            list->append(m_transitText);
        }
    }
    m_lastWasPartial = m_transitType == otPartialLine;
    if (m_onNewLine)
        m_onNewLine(m_owner, m_transitText, m_transitType);
}

// ---- TDosCommand

TDosCommand::TDosCommand(QObject* owner)
    : QObject(owner), InputQueue([this] { d->wakeWorkers(); }),
      d(std::make_unique<TDosCommandPrivate>(this))
{
}

void TDosCommandPrivate::wakeWorkers()
{
    for (const auto& worker : workers)
        worker->wake();
}

TDosCommand::~TDosCommand()
{
    // Workers may be waiting in a hand-over that this thread will never execute: release them,
    // then wait until every one has ended (killing its child) before anything they use goes.
    for (const auto& worker : d->workers) {
        worker->RequestStop();
        worker->abandon();
    }
    for (const auto& worker : d->workers)
        worker->join();
    d->workers.clear();
    d->current = nullptr;
    delete d->timer;
}

TReturnCode TDosCommand::OutputReturnCode() const
{
    return static_cast<TReturnCode>(d->outputReturnCode.load());
}

TRunState TDosCommand::RunState() const
{
    return static_cast<TRunState>(d->runState.load());
}

quint32 TDosCommand::ResultCode() const
{
    return d->resultCode;
}

void TDosCommand::Start()
{
    if (CommandLine.isEmpty())
        return;
    if (!d->timer) {
        d->timer = new TProcessTimer(this);
        // The workers compare the counters when they wake up.
        connect(d->timer, &TProcessTimer::ticked, this, [this] { d->wakeWorkers(); });
    }
    DeliveredLines.clear();
    auto worker = std::make_unique<TDosThread>(d.get());
    TDosThread* started = worker.get();
    try {
        worker->start();
    } catch (const std::system_error& error) {
        // No thread: the run fails while preparing, and still ends with its one OnTerminated.
        d->current = nullptr;
        d->runState = rsPreparing;
        const TTerminateEvent onTerminated = OnTerminated;
        if (onTerminated) {
            try {
                onTerminated(this, tovilo::stillActiveExitCode);
            } catch (...) {
            }
        }
        d->runState = rsPrepareFailed;
        d->resultCode = static_cast<quint32>(error.code().value());
        return;
    }
    d->workers.push_back(std::move(worker));
    d->current = started;
    d->timer->SetPaused(false);
}

quint32 TDosCommand::Execute()
{
    Start();
    WaitWhileRunning();
    return ResultCode();
}

void TDosCommand::Stop()
{
    if (d->current)
        d->current->RequestStop();
}

bool TDosCommand::IsRunning() const
{
    return d->current && !d->current->Finished();
}

void TDosCommand::Pause()
{
    if (!IsRunning())
        return;
    d->current->RequestPause(true);
    if (d->timer)
        d->timer->SetPaused(true);
}

void TDosCommand::Resume()
{
    if (d->current)
        d->current->RequestPause(false);
    if (d->timer)
        d->timer->SetPaused(false);
}

bool TDosCommand::IsPaused() const
{
    return IsRunning() && d->current->PauseRequested();
}

void TDosCommand::WaitWhileRunning()
{
    // A worker posts workerEnded after setting Finished, and that quits every waiting loop;
    // so checking before exec() cannot miss the end, and nothing spins meanwhile.
    while (IsRunning()) {
        QEventLoop loop;
        d->waits.push_back(&loop);
        loop.exec();
        d->waits.erase(std::find(d->waits.begin(), d->waits.end(), &loop));
    }
}

void TDosCommandPrivate::workerEnded(TDosThread* worker)
{
    const auto found = std::find_if(workers.begin(), workers.end(),
                                    [worker](const auto& w) { return w.get() == worker; });
    if (found != workers.end()) {
        if (current == worker)
            current = nullptr;
        // The thread has nothing left to do after posting this: the join is immediate.
        workers.erase(found);
    }
    for (QEventLoop* loop : waits)
        loop->quit();
}
