#pragma once

#include "oscore/Fd.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// Child processes: started with their signals reset, in a process group of their own (or
// ours), waited for with a time limit, and never left behind as zombies.
namespace tovilo {

// The exit code reported while a child still runs.
constexpr std::uint32_t stillActiveExitCode = 259;

// How long a killed child is waited for. One stuck in the kernel (a read from a hung mount)
// may never end; it is left behind rather than holding its caller up for ever.
constexpr int killedChildWaitMs = 2000;

struct ChildOptions
{
    // A process group of its own, so that ending it reaches what it started too. Otherwise
    // the child stays in ours and only the child itself is ended.
    bool ownGroup = true;
    // The child is killed when the thread that started it ends (PR_SET_PDEATHSIG): for a
    // single-threaded caller, when the caller dies.
    bool dieWithParent = false;
    // A descriptor of ours the program gets under the same number (others are close-on-exec).
    int passFd = -1;
};

// One child process started from an argv. The destructor kills what is left of it (its group,
// when it has one) and collects it, so no zombie outlives the object.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with argv (a null-terminated list), stdin from stdinFd, stdout into
    // outputFd and stderr into errorFd (into outputFd too when errorFd is -1). A program name
    // without "/" is looked up on PATH; one with "/" is taken as a path (relative ones against
    // the current folder). Never runs a shell. The child starts with no signal blocked and
    // SIGPIPE, SIGTERM, SIGHUP, SIGINT and SIGCHLD at their default action, whatever the
    // caller had. A program that cannot be executed fails here. Returns 0 or an errno.
    int startArgv(const char* const* argv, int stdinFd, int outputFd, int errorFd = -1,
                  const ChildOptions& options = {});

    // The same from any list of byte strings (std::string, QByteArray).
    template <class List>
    int start(const List& argv, int stdinFd, int outputFd, int errorFd = -1,
              const ChildOptions& options = {})
    {
        std::vector<const char*> args;
        args.reserve(std::size(argv) + 1);
        for (const auto& arg : argv)
            args.push_back(std::data(arg));
        args.push_back(nullptr);
        return startArgv(args.data(), stdinFd, outputFd, errorFd, options);
    }

    bool isStarted() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // Becomes readable when the child ends (a pidfd); -1 when the system gave none.
    int exitEventFd() const { return m_exitEvent.get(); }

    // Samples the exit code without collecting the child: stillActiveExitCode while it runs,
    // its exit status once it has exited, 128 + the signal number when a signal killed it.
    // The child stays a zombie until finish(), so its pid and process group cannot be reused.
    std::uint32_t exitCode();
    // The signal that ended the child, 0 while it runs or when it exited by itself.
    int exitSignal() const { return m_exitSignal; }

    // Waits up to timeoutMs (-1: without limit) for the child to end; false if it still runs.
    bool waitForExit(int timeoutMs);

    // Sends SIGKILL to the child's group (or, in ours, to the child alone), without
    // collecting it.
    void kill();
    // Sends a signal the same way (SIGSTOP and SIGCONT pause and resume the whole group).
    // False once the child has been collected.
    bool sendSignal(int number);

    // Kills the child (if it still runs) and everything left in its process group with
    // SIGKILL, then collects the child; one that does not end within killedChildWaitMs is
    // given up (false). Idempotent.
    bool finish();

private:
    pid_t m_pid = -1;
    UniqueFd m_exitEvent;
    bool m_ownGroup = true;
    bool m_exited = false;
    std::uint32_t m_exitCode = stillActiveExitCode;
    int m_exitSignal = 0;
};

// Where runChild sends what the child writes.
enum class CommandOutput
{
    Collect,          // standard output to onOutput, standard error dropped
    CollectWithError, // both to onOutput, in the order written
    Discard,          // both dropped
    Inherit           // both go where ours go
};

struct RunOptions
{
    CommandOutput output = CommandOutput::Collect;
    // The child is killed once this time has passed (-1: no limit).
    int timeoutMs = -1;
    // Gets what the child writes; false when it can no longer be delivered (the run goes on).
    std::function<bool(std::string_view)> onOutput;
    // Told the child's pid once it runs, for a caller that watches it (its memory, its time).
    std::function<void(pid_t)> onStarted;
    // Asked whenever stopFd becomes readable and at least every pollMs (-1: only then):
    // true kills the child.
    std::function<bool()> stopRequested;
    int stopFd = -1;
    int pollMs = -1;
    ChildOptions child;
};

struct RunResult
{
    int startError = 0;                           // errno when the program could not be started
    bool timedOut = false;                        // killed at the time limit
    bool stopped = false;                         // killed because stopRequested said so
    std::uint32_t exitCode = stillActiveExitCode; // exit status, 128 + signal when killed
    int exitSignal = 0;                           // the signal that ended it, 0 for none
    bool abandoned = false; // killed but never ended: left behind, exitCode stillActiveExitCode
};

// Runs a program as ChildProcess::start does, with standard input from /dev/null, until it has
// ended and closed its output, or until the time limit or a stop request, when it is killed
// (with its group), what it had written so far delivered. Blocks the calling thread, after a
// kill for killedChildWaitMs at most.
RunResult runChildArgv(const char* const* argv, const RunOptions& options);

template <class List> RunResult runChild(const List& argv, const RunOptions& options)
{
    std::vector<const char*> args;
    args.reserve(std::size(argv) + 1);
    for (const auto& arg : argv)
        args.push_back(std::data(arg));
    args.push_back(nullptr);
    return runChildArgv(args.data(), options);
}

// One program of a pipeline, and what it says: its standard error, and for the last stage its
// standard output too.
struct PipelineStage
{
    std::vector<std::string> argv;
    std::function<bool(std::string_view)> onOutput;
};

// Runs the stages side by side, each one's standard output the next one's standard input (the
// first reads /dev/null), as runChild runs one program: options.child and the time limit apply
// to each (passFd to the last stage only), onStarted is told every pid, and a stop or the time
// limit ends them all. options.output and options.onOutput are not used. One result per stage;
// a stage that cannot be started ends those already running, its startError saying why. At
// most seven stages.
std::vector<RunResult> runPipeline(const std::vector<PipelineStage>& stages,
                                   const RunOptions& options);

} // namespace tovilo
