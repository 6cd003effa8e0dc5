#include "engine/DosCommandRunner.h"

#include "runner/DosCommand.h"

namespace tovilo {

DosCommandRunner::DosCommandRunner(TDosCommand& command, QObject* parent)
    : ConversionRunner(parent), m_command(command)
{
    // The encoder prints a progress line for ever; only the latest are of any use.
    m_command.DeliveredLines.setLimit(DeliveredLinesKept);
    m_command.OnNewLine = [this](TDosCommand*, const QByteArray& line, TOutputType) {
        emit lineReceived(line);
    };
    m_command.OnTerminated = [this](TDosCommand*, quint32 exitCode) { emit runFinished(exitCode); };
}

DosCommandRunner::~DosCommandRunner()
{
    m_command.OnNewLine = nullptr;
    m_command.OnTerminated = nullptr;
}

void DosCommandRunner::start(const QByteArray& commandLine)
{
    m_command.CommandLine = commandLine;
    // Start returns at once; the run's end arrives as an event of the main loop. Unlike a
    // blocking Execute per job, this keeps the stack and the worker threads bounded however
    // long the queue is.
    m_command.Start();
}

bool DosCommandRunner::isRunning() const
{
    return m_command.IsRunning();
}

void DosCommandRunner::stopAndWait()
{
    m_command.Stop();
    m_command.WaitWhileRunning();
}

bool DosCommandRunner::failedToStart() const
{
    const TRunState state = m_command.RunState();
    return state == rsCreatingProcess || state == rsProcessFailed;
}

void DosCommandRunner::setPaused(bool paused)
{
    if (paused)
        m_command.Pause();
    else
        m_command.Resume();
}

} // namespace tovilo
