#pragma once

#include "oscore/Child.h"
#include "oscore/Fd.h"

#include <QByteArray>
#include <QList>

// Pipes and child processes for the console runner and the probes, from the operating-system
// core (descriptors, pipes, ChildProcess, waiting); this adds what takes or gives Qt types.
namespace tovilo {

struct CommandResult
{
    int startError = 0;                           // errno when the program could not be started
    bool timedOut = false;                        // killed at the time limit
    std::uint32_t exitCode = stillActiveExitCode; // exit status, 128 + signal when killed
    QByteArray output;
};

// Runs a program as ChildProcess::start does, with standard input from /dev/null, and waits
// until it has ended and closed its output. With timeoutMs >= 0 it is killed, with what is
// left of its process group, once that time has passed. Blocks the calling thread.
CommandResult runCommand(const QList<QByteArray>& argv, int timeoutMs,
                         CommandOutput output = CommandOutput::Collect);

} // namespace tovilo
