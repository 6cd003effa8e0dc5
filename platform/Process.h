#pragma once

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Pipes and child processes for the console runner: the Linux counterpart of anonymous pipes,
// process creation, exit-code sampling and termination. Every function reports failure through
// errno (or returns it), never by throwing.
namespace tovilo {

// The exit code reported while a child still runs.
constexpr std::uint32_t stillActiveExitCode = 259;

// Owns one file descriptor and closes it.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

struct Pipe
{
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// Creates a close-on-exec pipe whose descriptors lie above 0, 1 and 2, so that they can be
// moved onto a child's standard handles without colliding with them. Returns 0 or an errno.
int createPipe(Pipe& pipe);

// Makes writes to fd return EAGAIN instead of blocking. Returns 0 or an errno.
int setNonBlocking(int fd);

// Bytes waiting in a pipe, without consuming them (FIONREAD); -1 with errno on failure.
std::int64_t bytesAvailable(int fd);

// read(2) that retries on EINTR; -1 with errno on failure.
std::int64_t readSome(int fd, char* buffer, std::size_t size);

// write(2) that retries on EINTR and never raises SIGPIPE: a write to a pipe whose reader is
// gone fails with EPIPE instead of killing the program. Safe on any thread, touches no
// process-wide signal state.
std::int64_t writeSome(int fd, const char* data, std::size_t size);

// One descriptor to wait for: readable (or, with forWriting, writable). After the wait, ready
// tells whether it was, hungUp whether its other end is gone.
struct WaitEntry
{
    int fd = -1;
    bool forWriting = false;
    bool ready = false;
    bool hungUp = false;
};

// Waits up to timeoutMs until one of the entries is ready (with none, simply sleeps). Returns
// false on time-out or interruption.
bool waitForAny(WaitEntry* entries, std::size_t count, int timeoutMs);

// A flag another thread raises to end a waitForAny early (an eventfd). Not valid when the
// system refused one; callers then fall back to short time-outs.
class WakeEvent
{
public:
    WakeEvent();
    bool isValid() const { return m_fd.isValid(); }
    int fd() const { return m_fd.get(); }
    void signal();
    void clear();

private:
    UniqueFd m_fd;
};

// One child process started from an argv, in its own process group. The destructor kills what
// is left of the group and collects the child, so no zombie outlives the object.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with argv, stdin from stdinFd and stdout into outputFd, stderr into
    // errorFd (into outputFd too when errorFd is -1). A program name without "/" is looked up
    // on PATH; one with "/" is taken as a path (relative ones against the current folder).
    // Never runs a shell. A program that cannot be executed fails here. Returns 0 or an errno.
    int start(const QList<QByteArray>& argv, int stdinFd, int outputFd, int errorFd = -1);

    bool isStarted() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // Becomes readable when the child ends (a pidfd); -1 when the system gave none.
    int exitEventFd() const { return m_exitEvent.get(); }

    // Samples the exit code without collecting the child: stillActiveExitCode while it runs,
    // its exit status once it has exited, 128 + the signal number when a signal killed it.
    // The child stays a zombie until finish(), so its pid and process group cannot be reused.
    std::uint32_t exitCode();

    // Kills the child (if it still runs) and everything left in its process group with
    // SIGKILL, then collects the child. Idempotent.
    void finish();

private:
    pid_t m_pid = -1;
    UniqueFd m_exitEvent;
    bool m_exited = false;
    std::uint32_t m_exitCode = stillActiveExitCode;
};

// Where runCommand sends what the child writes.
enum class CommandOutput
{
    Collect,          // standard output collected, standard error dropped
    CollectWithError, // both collected, in the order written
    Discard,          // both dropped
    Inherit           // both go where ours go
};

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
