#include "platform/Process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tovilo {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0) {
        const int saved = errno;
        ::close(m_fd);
        errno = saved;
    }
    m_fd = fd;
}

namespace {

// A descriptor on 0, 1 or 2 (possible when the program was started with one of them closed)
// would be overwritten or left close-on-exec by the child's dup2 calls.
int moveAboveStdio(UniqueFd& fd)
{
    if (fd.get() > STDERR_FILENO)
        return 0;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return errno;
    fd.reset(moved);
    return 0;
}

} // namespace

int createPipe(Pipe& pipe)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    if (const int error = moveAboveStdio(readEnd))
        return error;
    if (const int error = moveAboveStdio(writeEnd))
        return error;
    pipe.readEnd = std::move(readEnd);
    pipe.writeEnd = std::move(writeEnd);
    return 0;
}

int setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return errno;
    return 0;
}

std::int64_t bytesAvailable(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0)
        return -1;
    return count;
}

std::int64_t readSome(int fd, char* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

std::int64_t writeSome(int fd, const char* data, std::size_t size)
{
    // SIGPIPE from write(2) is sent to the writing thread: block it here, and if this write
    // raised it, take it off the thread's pending set before unblocking. One that was already
    // pending (sent by someone else) is left alone.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t oldMask;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    const int error = errno;

    if (n < 0 && error == EPIPE && !wasPending) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    errno = error;
    return n;
}

bool waitForAny(WaitEntry* entries, std::size_t count, int timeoutMs)
{
    pollfd fds[8];
    if (count > std::size(fds))
        count = std::size(fds);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = pollfd{entries[i].fd, short(entries[i].forWriting ? POLLOUT : POLLIN), 0};
        entries[i].ready = false;
        entries[i].hungUp = false;
    }
    const int n = ::poll(fds, count, timeoutMs);
    if (n <= 0)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].ready = fds[i].revents & (entries[i].forWriting ? POLLOUT : POLLIN);
        entries[i].hungUp = fds[i].revents & (POLLHUP | POLLERR);
    }
    return true;
}

WakeEvent::WakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeEvent::signal()
{
    if (!m_fd.isValid())
        return;
    const int saved = errno;
    const std::uint64_t one = 1;
    while (::write(m_fd.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    errno = saved;
}

void WakeEvent::clear()
{
    if (!m_fd.isValid())
        return;
    const int saved = errno;
    std::uint64_t count;
    while (::read(m_fd.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    errno = saved;
}

ChildProcess::~ChildProcess()
{
    finish();
}

int ChildProcess::start(const QList<QByteArray>& argv, int stdinFd, int outputFd, int errorFd)
{
    if (m_pid > 0)
        return EBUSY;
    if (argv.isEmpty() || argv.first().isEmpty())
        return ENOENT;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const QByteArray& arg : argv)
        args.push_back(const_cast<char*>(arg.constData()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (const int error = posix_spawn_file_actions_init(&actions))
        return error;
    if (const int error = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return error;
    }

    // dup2 clears close-on-exec on the copies; every other descriptor of ours is close-on-exec.
    int error = posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    if (!error)
        error = posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    if (!error)
        error = posix_spawn_file_actions_adddup2(&actions, errorFd >= 0 ? errorFd : outputFd,
                                                 STDERR_FILENO);

    // Own process group, so that termination reaches the child's own children too. The
    // spawning thread may block signals (SIGPIPE above all) and the program may ignore or
    // catch some: the child starts with an empty mask and these at their default action.
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int number : {SIGPIPE, SIGTERM, SIGHUP, SIGINT})
        sigaddset(&defaults, number);
    if (!error)
        error = posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!error)
        error = posix_spawnattr_setpgroup(&attributes, 0);
    if (!error)
        error = posix_spawnattr_setsigmask(&attributes, &emptyMask);
    if (!error)
        error = posix_spawnattr_setsigdefault(&attributes, &defaults);

    pid_t pid = -1;
    if (!error) {
        // glibc reports a failed exec (missing program, no permission) as the return value.
        const bool searchPath = !argv.first().contains('/');
        error = searchPath
                    ? posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ)
                    : posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error)
        return error;

    m_pid = pid;
    m_exited = false;
    m_exitCode = stillActiveExitCode;
    // Not collected yet, so the pid cannot have been reused. Without a pidfd (old kernel,
    // seccomp) callers poll the exit code instead.
    const int saved = errno;
    m_exitEvent.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); // close-on-exec
    errno = saved;
    return 0;
}

std::uint32_t ChildProcess::exitCode()
{
    if (m_pid <= 0 || m_exited)
        return m_exitCode;
    siginfo_t info{};
    int result;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0 || info.si_pid == 0)
        return m_exitCode;
    m_exited = true;
    if (info.si_code == CLD_EXITED)
        m_exitCode = static_cast<std::uint32_t>(info.si_status);
    else
        m_exitCode = 128u + static_cast<std::uint32_t>(info.si_status);
    return m_exitCode;
}

void ChildProcess::finish()
{
    if (m_pid <= 0)
        return;
    const int saved = errno;
    // The child is not collected yet (a zombie at worst), so its pid still names its group.
    ::kill(-m_pid, SIGKILL);
    if (!m_exited)
        ::kill(m_pid, SIGKILL); // in case it left its group
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    m_exitEvent.reset();
    errno = saved;
}

CommandResult runCommand(const QList<QByteArray>& argv, int timeoutMs, CommandOutput output)
{
    using Clock = std::chrono::steady_clock;
    CommandResult result;
    const UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const UniqueFd nowhere(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!input.isValid() || !nowhere.isValid()) {
        result.startError = errno;
        return result;
    }
    const bool collect =
        output == CommandOutput::Collect || output == CommandOutput::CollectWithError;
    Pipe pipe;
    if (collect) {
        if (const int error = createPipe(pipe)) {
            result.startError = error;
            return result;
        }
    }
    int outFd = STDOUT_FILENO;
    int errFd = STDERR_FILENO;
    switch (output) {
    case CommandOutput::Collect:
        outFd = pipe.writeEnd.get();
        errFd = nowhere.get();
        break;
    case CommandOutput::CollectWithError:
        outFd = errFd = pipe.writeEnd.get();
        break;
    case CommandOutput::Discard:
        outFd = errFd = nowhere.get();
        break;
    case CommandOutput::Inherit:
        break;
    }

    ChildProcess child;
    if (const int error = child.start(argv, input.get(), outFd, errFd)) {
        result.startError = error;
        return result;
    }
    // Only the child's copy may keep the pipe open, or its end would never be seen.
    pipe.writeEnd.reset();

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool reading = collect;
    char buffer[4096];
    for (;;) {
        if (!reading && child.exitCode() != stillActiveExitCode)
            break;
        int waitMs = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                break;
            }
            waitMs = static_cast<int>(left.count());
        }
        WaitEntry entry;
        entry.fd = reading ? pipe.readEnd.get() : child.exitEventFd();
        if (entry.fd < 0) // no pidfd: look again shortly
            waitMs = waitMs < 0 ? 10 : std::min(waitMs, 10);
        waitForAny(&entry, entry.fd < 0 ? 0 : 1, waitMs);
        if (reading && (entry.ready || entry.hungUp)) {
            const std::int64_t got = readSome(pipe.readEnd.get(), buffer, sizeof buffer);
            if (got > 0)
                result.output.append(buffer, static_cast<qsizetype>(got));
            else
                reading = false; // end of output, or a pipe that can no longer be read
        }
    }
    result.exitCode = child.exitCode();
    child.finish();
    return result;
}

} // namespace tovilo
