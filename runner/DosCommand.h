#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>

class TDosCommand;
class TDosCommandPrivate;

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
// end of the run turns it into the failure value of that stage.
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

// A list of byte strings the component and its worker thread both use; every call is atomic.
class SharedLines
{
public:
    // onAppend runs after every append, outside the lock.
    explicit SharedLines(std::function<void()> onAppend = {}) : m_onAppend(std::move(onAppend)) {}
    // Keeps only the latest `limit` lines (-1: all of them): an append beyond drops the oldest.
    void setLimit(qsizetype limit);

    void append(const QByteArray& line);
    void clear();
    qsizetype count() const;
    bool isEmpty() const { return count() == 0; }
    QList<QByteArray> toList() const;
    std::optional<QByteArray> takeFirst();

private:
    mutable std::shared_mutex m_lock;
    std::function<void()> m_onAppend;
    qsizetype m_limit = -1; // -1: none
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

// Runs one command line as a child process on a worker thread and reports its output lines and
// its end as events on the main thread. Every member is called on the main thread. Destroying it
// stops and waits for its runs without delivering their events; do not delete it from inside
// one of its own handlers (use deleteLater).
class TDosCommand : public QObject
{
    Q_OBJECT

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

    // The texts delivered in the current run, partial ones included; all of them unless an
    // owner whose child may print without end sets a limit.
    tovilo::SharedLines DeliveredLines;
    // Lines waiting for the child's standard input, sent as they are (include the line break).
    // Start empties it, so queue lines after Start.
    tovilo::SharedLines InputQueue;

    TReturnCode OutputReturnCode() const;
    TRunState RunState() const;
    quint32 ResultCode() const;

    void Start();
    quint32 Execute();
    void Stop();
    bool IsRunning() const;
    // Stops the running child's whole process group (SIGSTOP) and continues it (SIGCONT).
    // Paused time counts against neither time limit. Stop works while paused.
    void Pause();
    void Resume();
    bool IsPaused() const;
    // Blocks in an event loop, handling events, until IsRunning is false.
    void WaitWhileRunning();

private:
    std::unique_ptr<TDosCommandPrivate> d;
};
