#include "oscore/Child.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tovilo {

namespace {

// Where the program may be, found before the child is made: between vfork and exec the child
// borrows our memory and may make only async-signal-safe calls.
std::vector<std::string> programCandidates(const char* name)
{
    if (std::strchr(name, '/') != nullptr)
        return {name};
    const char* pathVariable = std::getenv("PATH");
    const std::string path = pathVariable != nullptr ? pathVariable : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find(':', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string dir = end == begin ? "." : path.substr(begin, end - begin);
        candidates.push_back(dir + '/' + name);
        begin = end + 1;
    }
    return candidates;
}

// In the child: puts `from` on `to` without close-on-exec.
bool moveTo(int from, int to)
{
    if (from == to)
        return ::fcntl(to, F_SETFD, 0) == 0;
    return ::dup2(from, to) == to;
}

[[noreturn]] void childFails(int reportFd, int error)
{
    [[maybe_unused]] const ssize_t written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

struct ChildSetup
{
    std::vector<const char*> candidates;
    const char* const* argv;
    int stdinFd;
    int outputFd;
    int errorFd;
    ChildOptions options;
    pid_t parent;
    int reportFd;
};

// Runs in the vfork child, on our stack and in our memory: plain system calls only, nothing
// that allocates, locks or writes our data, and it never returns.
[[noreturn]] void execChild(const ChildSetup& setup)
{
    // Every signal is blocked here. Caught signals would run the parent's handlers in the
    // child; these few go back to their default action even when the parent ignores them.
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        struct sigaction current = {};
        if (::sigaction(number, nullptr, &current) != 0)
            continue;
        const bool reset = number == SIGPIPE || number == SIGTERM || number == SIGHUP ||
                           number == SIGINT || number == SIGCHLD;
        if (reset || (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL))
            ::sigaction(number, &standard, nullptr);
    }
    const ChildOptions& options = setup.options;
    if (options.ownGroup && ::setpgid(0, 0) != 0)
        childFails(setup.reportFd, errno);
    if (options.dieWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != setup.parent)
            ::_exit(127);
    }
    if (!moveTo(setup.stdinFd, STDIN_FILENO) || !moveTo(setup.outputFd, STDOUT_FILENO) ||
        !moveTo(setup.errorFd, STDERR_FILENO))
        childFails(setup.reportFd, errno);
    if (options.passFd > STDERR_FILENO && !moveTo(options.passFd, options.passFd))
        childFails(setup.reportFd, errno);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // As execvp does: a directory where the program is missing is passed over, one where it
    // may not be run is remembered in case no other has it.
    int error = ENOENT;
    for (const char* candidate : setup.candidates) {
        ::execve(candidate, const_cast<char* const*>(setup.argv), environ);
        if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE)
            error = errno;
        if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE && errno != EACCES)
            break;
    }
    childFails(setup.reportFd, error);
}

// vfork, as posix_spawn does: copying the caller's page tables (fork) costs milliseconds in a
// large program. We stay suspended until the child has called execve or _exit. Kept apart so
// that nothing of the caller's lives across the vfork.
[[gnu::noinline]] pid_t startChild(const ChildSetup& setup)
{
    const pid_t pid = ::vfork();
    if (pid == 0)
        execChild(setup);
    return pid;
}

} // namespace

ChildProcess::~ChildProcess()
{
    finish();
}

int ChildProcess::startArgv(const char* const* argv, int stdinFd, int outputFd, int errorFd,
                            const ChildOptions& options)
{
    if (m_pid > 0)
        return EBUSY;
    if (argv == nullptr || argv[0] == nullptr || *argv[0] == '\0')
        return ENOENT;
    const std::vector<std::string> candidates = programCandidates(argv[0]);
    Pipe report; // carries the errno of a failed exec; closes by itself on success
    if (const int error = createPipe(report))
        return error;
    ChildSetup setup{{},
                     argv,
                     stdinFd,
                     outputFd,
                     errorFd < 0 ? outputFd : errorFd,
                     options,
                     ::getpid(),
                     report.writeEnd.get()};
    for (const std::string& candidate : candidates)
        setup.candidates.push_back(candidate.c_str());

    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    const pid_t pid = startChild(setup);
    const int spawnError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    report.writeEnd.reset();
    if (pid < 0)
        return spawnError;

    int execError = 0;
    const ssize_t n = retryOnInterrupt(
        [&] { return ::read(report.readEnd.get(), &execError, sizeof execError); });
    if (n == static_cast<ssize_t>(sizeof execError)) {
        int status = 0;
        retryOnInterrupt([&] { return ::waitpid(pid, &status, 0); });
        return execError;
    }

    m_pid = pid;
    m_ownGroup = options.ownGroup;
    m_exited = false;
    m_exitCode = stillActiveExitCode;
    m_exitSignal = 0;
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
    const int result = retryOnInterrupt([&] {
        return ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
    });
    if (result < 0 || info.si_pid == 0)
        return m_exitCode;
    m_exited = true;
    if (info.si_code == CLD_EXITED) {
        m_exitCode = static_cast<std::uint32_t>(info.si_status);
    } else {
        m_exitSignal = info.si_status;
        m_exitCode = 128u + static_cast<std::uint32_t>(info.si_status);
    }
    return m_exitCode;
}

bool ChildProcess::waitForExit(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (exitCode() == stillActiveExitCode) {
        if (m_pid <= 0)
            return false;
        int waitMs = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            waitMs = static_cast<int>(left.count());
        }
        WaitEntry entry;
        entry.fd = m_exitEvent.get();
        if (entry.fd < 0) // no pidfd: look again shortly
            waitMs = waitMs < 0 ? 10 : std::min(waitMs, 10);
        waitForAny(&entry, entry.fd < 0 ? 0 : 1, waitMs);
    }
    return true;
}

void ChildProcess::kill()
{
    sendSignal(SIGKILL);
}

bool ChildProcess::sendSignal(int number)
{
    if (m_pid <= 0)
        return false;
    const int saved = errno;
    // The child is not collected yet (a zombie at worst), so its pid still names its group.
    if (m_ownGroup)
        ::kill(-m_pid, number);
    if (!m_exited)
        ::kill(m_pid, number); // in case it left its group
    errno = saved;
    return true;
}

bool ChildProcess::finish()
{
    if (m_pid <= 0)
        return true;
    const int saved = errno;
    kill();
    const bool ended = waitForExit(killedChildWaitMs);
    if (ended) {
        int status = 0;
        retryOnInterrupt([&] { return ::waitpid(m_pid, &status, 0); });
    }
    m_pid = -1;
    m_exitEvent.reset();
    errno = saved;
    return ended;
}

RunResult runChildArgv(const char* const* argv, const RunOptions& options)
{
    using Clock = std::chrono::steady_clock;
    RunResult result;
    const UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const UniqueFd nowhere(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!input.isValid() || !nowhere.isValid()) {
        result.startError = errno;
        return result;
    }
    const bool collect = options.output == CommandOutput::Collect ||
                         options.output == CommandOutput::CollectWithError;
    Pipe pipe;
    if (collect) {
        if (const int error = createPipe(pipe)) {
            result.startError = error;
            return result;
        }
    }
    int outFd = STDOUT_FILENO;
    int errFd = STDERR_FILENO;
    switch (options.output) {
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
    if (const int error = child.startArgv(argv, input.get(), outFd, errFd, options.child)) {
        result.startError = error;
        return result;
    }
    // Only the child's copy may keep the pipe open, or its end would never be seen.
    pipe.writeEnd.reset();
    if (options.onStarted)
        options.onStarted(child.pid());

    char buffer[65536];
    const auto deliver = [&](std::int64_t got) {
        if (options.onOutput)
            options.onOutput(std::string_view(buffer, static_cast<std::size_t>(got)));
    };
    // Time in which we did not run (our process group paused, the machine asleep) does not
    // count against the limit: a wait that overran what it asked for by far counts as asked.
    constexpr std::int64_t oversleepMs = 1000;
    auto lastLook = Clock::now();
    std::int64_t usedMs = 0;
    int askedMs = 0;
    bool reading = collect;
    for (;;) {
        if (!reading && child.exitCode() != stillActiveExitCode)
            break;
        int waitMs = options.pollMs;
        if (options.timeoutMs >= 0) {
            const auto now = Clock::now();
            const std::int64_t passed =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - lastLook).count();
            lastLook = now;
            usedMs += passed > askedMs + oversleepMs ? askedMs : passed;
            const std::int64_t left = options.timeoutMs - usedMs;
            if (left <= 0) {
                result.timedOut = true;
                break;
            }
            waitMs = waitMs < 0 ? static_cast<int>(left) : std::min(waitMs, static_cast<int>(left));
        }
        WaitEntry entries[2];
        entries[0].fd = reading ? pipe.readEnd.get() : child.exitEventFd();
        entries[1].fd = options.stopFd;
        if (entries[0].fd < 0) // no pidfd: look again shortly
            waitMs = waitMs < 0 ? 10 : std::min(waitMs, 10);
        askedMs = std::max(waitMs, 0);
        waitForAny(entries, 2, waitMs);
        if (options.stopRequested && options.stopRequested()) {
            result.stopped = true;
            break;
        }
        if (reading && (entries[0].ready || entries[0].hungUp)) {
            const std::int64_t got = readSome(pipe.readEnd.get(), buffer, sizeof buffer);
            if (got > 0)
                deliver(got);
            else
                reading = false; // end of output, or a pipe that can no longer be read
        }
    }
    if (result.timedOut || result.stopped) {
        child.kill();
        // What is already in the pipe is delivered; what the group's survivors may still
        // write is not waited for.
        if (reading && setNonBlocking(pipe.readEnd.get()) == 0) {
            std::int64_t got;
            while ((got = readSome(pipe.readEnd.get(), buffer, sizeof buffer)) > 0)
                deliver(got);
        }
        child.waitForExit(killedChildWaitMs);
    }
    result.exitCode = child.exitCode();
    result.exitSignal = child.exitSignal();
    result.abandoned = !child.finish();
    return result;
}

} // namespace tovilo
