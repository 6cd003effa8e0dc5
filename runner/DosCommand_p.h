#pragma once

// The machinery behind TDosCommand, shared by its implementation only: the worker thread of a
// run, the tick that measures the time limits, and the state both sides of a run touch.

#include "platform/Process.h"
#include "runner/DosCommand.h"
#include "runner/LineSplitter.h"
#include "runner/MainThreadCalls.h"

#include <QTimer>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class QEventLoop;

namespace tovilo {

// The value a run's state takes when the run fails in that stage; none for an end state.
constexpr std::optional<TRunState> failureOf(TRunState stage)
{
    switch (stage) {
    case rsPreparing:
        return rsPrepareFailed;
    case rsCreatingPipes:
        return rsPipeFailed;
    case rsCreatingProcess:
        return rsProcessFailed;
    case rsRunning:
        return rsRunFailed;
    default:
        return std::nullopt;
    }
}

} // namespace tovilo

// A one-second tick on the main thread that counts the seconds since a run started and since
// its last output. The worker starts, resets and stops it from its own thread.
class TProcessTimer : public QObject
{
    Q_OBJECT
public:
    explicit TProcessTimer(QObject* parent = nullptr);

    void StartCounting();
    void ResetOutputCounter() { m_secondsSinceOutput = 0; }
    void StopCounting();
    // While paused the ticks count nothing. Main thread only.
    void SetPaused(bool paused) { m_paused = paused; }

    qint32 SecondsSinceStart() const { return m_secondsSinceStart; }
    qint32 SecondsSinceOutput() const { return m_secondsSinceOutput; }

signals:
    void ticked();

private:
    void onMainThread(std::function<void()> call);

    tovilo::MainThreadCalls m_calls;
    QTimer m_tick;
    int m_counting = 0; // runs between StartCounting and StopCounting
    bool m_paused = false;
    std::atomic<qint32> m_secondsSinceStart{0};
    std::atomic<qint32> m_secondsSinceOutput{0};
};

// The worker of one run: starts the child, polls it and its output, and hands every text and
// the end of the run to the main thread, waiting until each has been handled there.
class TDosThread
{
public:
    explicit TDosThread(TDosCommandPrivate* owner);
    ~TDosThread();
    TDosThread(const TDosThread&) = delete;
    TDosThread& operator=(const TDosThread&) = delete;

    void start();
    void join();
    void RequestStop();
    // Applied by the worker while it has the child, so the signal never reaches a reused pid.
    void RequestPause(bool paused);
    bool PauseRequested() const { return m_pauseWanted; }
    // Releases a worker waiting in a hand-over the main thread will never run.
    void abandon();
    void wake() { m_wake.signal(); }
    bool StopRequested() const { return m_stopRequested; }
    bool Finished() const { return m_finished; }

    void Run();
    void DeliverOutput(const QByteArray& text, TOutputType type);
    void ApplyOutput();

private:
    struct HandOver
    {
        std::mutex mutex;
        std::condition_variable done;
        quint64 completed = 0;
        bool abandoned = false;
    };

    void threadBody();
    bool runOnMainThread(std::function<void()> call);
    void reportStartError(const QString& message);
    void splitOutput(const char* data, qsizetype size);
    void forwardInput(int inputFd);
    void pause(int outputFd, int exitFd, int inputFd, bool& outputOpen);
    bool timedOut() const;

    TDosCommandPrivate* m_d;
    TDosCommand* m_owner;
    TProcessTimer* m_timer;

    // Copies taken at creation: changing the component during a run affects later runs only.
    QByteArray m_commandLine;
    TNewLineEvent m_onNewLine;
    TTerminateEvent m_onTerminated;
    qint32 m_maxTimeAfterBeginning;
    qint32 m_maxTimeAfterLastOutput;
    // Kept as data: a Linux child has no console window, priority class or creation flags.
    [[maybe_unused]] quint32 m_priorityClass;
    [[maybe_unused]] TShowWindow m_showWindow;
    [[maybe_unused]] TCreationFlag m_creationFlag;

    tovilo::LineSplitter m_splitter;
    bool m_lastWasPartial = false; // written by ApplyOutput, read by the worker between hand-overs
    // The text being handed to the main thread; the worker waits until it has been applied.
    QByteArray m_transitText;
    TOutputType m_transitType = otCompleteLine;
    QByteArray m_inputLine; // the input line being written; the pipe may take it in pieces
    qsizetype m_inputWritten = 0;
    std::uint32_t m_exitCode;
    int m_lastError = 0;

    tovilo::WakeEvent m_wake;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_pauseWanted{false};
    bool m_paused = false; // the child's group is stopped; worker only
    std::atomic<bool> m_finished{false};
    std::shared_ptr<HandOver> m_handOver;
    quint64 m_handOversPosted = 0;
    std::thread m_thread;
};

// TDosCommand's own state. Its workers read and write the run's results from their threads.
class TDosCommandPrivate
{
public:
    explicit TDosCommandPrivate(TDosCommand* q) : q(q) {}

    void workerEnded(TDosThread* worker);
    void wakeWorkers();

    TDosCommand* const q;
    std::atomic<quint8> runState{rsPreparing};
    std::atomic<quint32> resultCode{0};
    std::atomic<quint8> outputReturnCode{rcCRLF};
    tovilo::MainThreadCalls calls; // the workers' hand-overs
    TProcessTimer* timer = nullptr;
    std::vector<std::unique_ptr<TDosThread>> workers;
    TDosThread* current = nullptr;
    std::vector<QEventLoop*> waits;
};
