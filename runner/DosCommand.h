#pragma once

#include "platform/Error.h"
#include "platform/Process.h"
#include "runner/LineSplitter.h"
#include "runner/MainThreadCalls.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

class QEventLoop;
class TDosCommand;

// Kind of break that ended an output line.
enum TReturnCode : quint8
{
    rcCRLF,
    rcLF
};

enum TOutputType : quint8
{
    otCompleteLine,
    otPartialLine
};

// Stage or end reason of the latest run. A failure leaves the stage value in place until the
// end of the run turns it into the failure value that follows it.
enum TRunState : quint8
{
    rsPreparing,
    rsPrepareFailed,
    rsCreatingPipes,
    rsPipeFailed,
    rsCreatingProcess,
    rsProcessFailed,
    rsRunning,
    rsRunFailed,
    rsExited,
    rsStopped,
    rsTimedOut
};

// Console window show command. Kept as data: a Linux child has no console window.
enum TShowWindow : quint8
{
    swHIDE,
    swMAXIMIZE,
    swMINIMIZE,
    swRESTORE,
    swSHOW,
    swSHOWDEFAULT,
    swSHOWMAXIMIZED,
    swSHOWMINIMIZED,
    swSHOWMINNOACTIVE,
    swSHOWNA,
    swSHOWNOACTIVATE,
    swSHOWNORMAL
};

// Process creation flag. Kept as data: on Linux every child gets its own process group and
// nothing else follows from the flag.
enum TCreationFlag : quint8
{
    fCREATE_DEFAULT_ERROR_MODE,
    fCREATE_NEW_CONSOLE,
    fCREATE_NEW_PROCESS_GROUP,
    fCREATE_SEPARATE_WOW_VDM,
    fCREATE_SHARED_WOW_VDM,
    fCREATE_SUSPENDED,
    fCREATE_UNICODE_ENVIRONMENT,
    fDEBUG_PROCESS,
    fDEBUG_ONLY_THIS_PROCESS,
    fDETACHED_PROCESS
};

namespace tovilo {

// The Windows show command of each TShowWindow value.
constexpr quint32 showCommand(TShowWindow value)
{
    constexpr quint32 commands[] = {0, 3, 6, 9, 5, 10, 3, 2, 7, 8, 4, 1};
    return commands[value];
}

// The Windows process creation flag of each TCreationFlag value.
constexpr quint32 creationFlagValue(TCreationFlag value)
{
    constexpr quint32 flags[] = {0x4000000, 0x10, 0x200, 0x800, 0x1000, 0x4, 0x400, 0x1, 0x2, 0x8};
    return flags[value];
}

// A list of byte strings that the owner and a worker thread both touch; every operation holds
// the lock it was given.
class SharedLines
{
public:
    explicit SharedLines(std::shared_mutex& lock) : m_lock(lock) {}

    void append(const QByteArray& line);
    void clear();
    qsizetype count() const;
    bool isEmpty() const { return count() == 0; }
    QList<QByteArray> toList() const;
    std::optional<QByteArray> takeFirst();

    // Called after every append, outside the lock.
    void setAppendHook(std::function<void()> hook) { m_appendHook = std::move(hook); }

private:
    std::shared_mutex& m_lock;
    std::function<void()> m_appendHook;
    QList<QByteArray> m_lines;
};

} // namespace tovilo

using TNewLineEvent =
    std::function<void(TDosCommand* Sender, const QByteArray& NewLine, TOutputType OutputType)>;
using TTerminateEvent = std::function<void(TDosCommand* Sender, quint32 ExitCode)>;

class TCreatePipeError : public tovilo::Error
{
public:
    using Error::Error;
};

class TCreateProcessError : public tovilo::Error
{
public:
    using Error::Error;
};

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

    qint32 SecondsSinceStart() const { return m_secondsSinceStart; }
    qint32 SecondsSinceOutput() const { return m_secondsSinceOutput; }

signals:
    void ticked();

private:
    void onMainThread(std::function<void()> call);

    tovilo::MainThreadCalls m_calls;
    QTimer m_tick;
    int m_counting = 0; // runs between StartCounting and StopCounting
    std::atomic<qint32> m_secondsSinceStart{0};
    std::atomic<qint32> m_secondsSinceOutput{0};
};

// The worker of one run: starts the child, polls it and its output, and hands every text and
// the end of the run to the main thread, waiting until each has been handled there.
class TDosThread
{
public:
    explicit TDosThread(TDosCommand* owner);
    ~TDosThread();
    TDosThread(const TDosThread&) = delete;
    TDosThread& operator=(const TDosThread&) = delete;

    void RequestStop();
    bool StopRequested() const { return m_stopRequested; }
    bool Finished() const { return m_finished; }

    void Run();
    void DeliverOutput(const QByteArray& text, TOutputType type);
    void ApplyOutput();

private:
    friend class TDosCommand;

    struct HandOver
    {
        std::mutex mutex;
        std::condition_variable done;
        quint64 completed = 0;
        bool abandoned = false;
    };

    void start();
    void join();
    void threadBody();
    bool runOnMainThread(std::function<void()> call);
    void abandon();
    void reportStartError(const QString& message);
    void splitOutput(const char* data, qsizetype size);
    void forwardInput(int inputFd);
    void pause(int outputFd, int exitFd, int inputFd, bool& outputOpen);
    bool timedOut() const;

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
    QByteArray m_transitText;
    TOutputType m_transitType = otCompleteLine;
    QByteArray m_inputLine; // the input line being written; the pipe may take it in pieces
    qsizetype m_inputWritten = 0;
    std::uint32_t m_exitCode;
    int m_lastError = 0;

    tovilo::WakeEvent m_wake;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_finished{false};
    std::shared_ptr<HandOver> m_handOver;
    quint64 m_handOversPosted = 0;
    std::thread m_thread;
};

// Runs one command line as a child process on a worker thread and reports its output lines and
// its end as events on the main thread. Every member is called on the main thread. Destroying it
// stops and waits for its runs without delivering their events; do not delete it from inside
// one of its own handlers (use deleteLater).
class TDosCommand : public QObject
{
    Q_OBJECT

    // Guards DeliveredLines and InputQueue; declared first because both refer to it.
    std::shared_mutex m_lock;

public:
    explicit TDosCommand(QObject* owner = nullptr);
    ~TDosCommand() override;

    // Program and arguments in one string, split with the Windows rules, never run by a shell.
    QByteArray CommandLine;
    TNewLineEvent OnNewLine;
    TTerminateEvent OnTerminated;
    // Gets the message of a failed start (missing program, no pipe), after OnTerminated. The
    // owner shows it in its error box.
    std::function<void(const QString& message)> OnStartError;
    std::atomic<bool> InputToOutput{false};
    qint32 MaxTimeAfterBeginning = 0;
    qint32 MaxTimeAfterLastOutput = 0;
    TShowWindow ShowWindow = swHIDE;
    TCreationFlag CreationFlag = fCREATE_NEW_CONSOLE;
    TReturnCode ReturnCode = rcCRLF; // stored only; line splitting does not consult it
    quint32 PriorityClass = 0x20;
    // Caller-owned list mirroring the output; read during the run, on the main thread only.
    QList<QByteArray>* OutputList = nullptr;

    // Every text delivered in the current run, partial ones included.
    tovilo::SharedLines DeliveredLines;
    // Lines waiting for the child's standard input, sent as they are (include the line break).
    // Start empties it, so queue lines after Start.
    tovilo::SharedLines InputQueue;

    TReturnCode OutputReturnCode() const { return TReturnCode(m_outputReturnCode.load()); }
    TRunState RunState() const { return TRunState(m_runState.load()); }
    quint32 ResultCode() const { return m_resultCode; }

    void Start();
    quint32 Execute();
    void Stop();
    bool IsRunning() const;
    // Blocks in an event loop, handling events, until IsRunning is false.
    void WaitWhileRunning();

private:
    friend class TDosThread;

    void workerEnded(TDosThread* worker);
    void wakeWorkers();

    std::atomic<quint8> m_runState{rsPreparing};
    std::atomic<quint32> m_resultCode{0};
    std::atomic<quint8> m_outputReturnCode{rcCRLF};
    tovilo::MainThreadCalls m_calls; // the workers' hand-overs
    TProcessTimer* m_timer = nullptr;
    std::vector<std::unique_ptr<TDosThread>> m_workers;
    TDosThread* m_current = nullptr;
    std::vector<QEventLoop*> m_waits;
};
