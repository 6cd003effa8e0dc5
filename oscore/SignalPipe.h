#pragma once

#include "oscore/Fd.h"

#include <csignal>
#include <initializer_list>

namespace tovilo {

// The self-pipe: the handler of each chosen signal only writes the signal's number into a
// pipe, whose read end the caller waits on, so the work happens outside the handler. One
// object at a time; the previous handlers come back when it is destroyed.
class SignalPipe
{
public:
    struct Options
    {
        // A signal that was ignored when the program started (nohup, a background job) stays
        // ignored.
        bool keepIgnored = true;
        // Interrupted calls of other threads go on rather than fail with EINTR.
        bool restartCalls = true;
    };

    SignalPipe() = default;
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // Makes the pipe and installs the handlers; false (errno set) when the pipe could not be
    // made or another object holds the signals: they then keep their actions.
    bool install(std::initializer_list<int> numbers, const Options& options);
    bool isActive() const { return m_active; }

    // Readable while signals wait to be taken.
    int fd() const { return m_pipe.readEnd.get(); }

    // Takes the waiting signals' numbers into numbers (up to size), without blocking. Returns
    // how many were taken, 0 when none waits.
    int take(unsigned char* numbers, int size);

private:
    Pipe m_pipe;
    bool m_active = false;
    struct Installed
    {
        int number;
        struct sigaction previous;
    };
    Installed m_installed[8]{};
    int m_installedCount = 0;
};

} // namespace tovilo
