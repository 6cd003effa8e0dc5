#include "oscore/Child.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
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

namespace {

// With stopFd, as many as waitForAny watches at once.
constexpr std::size_t maxWatchedChildren = 7;

// A started child and what is read of its output.
struct Running
{
    ChildProcess child;
    UniqueFd output; // the read end of its output pipe; not valid when nothing is read
    const std::function<bool(std::string_view)>* onOutput = nullptr;
};

// Waits until every child has ended and closed its output, or until the time limit or a stop
// request, when all of them are killed, what they had written so far delivered. Fills in one
// result per child.
void watchChildren(std::vector<std::unique_ptr<Running>>& running, const RunOptions& options,
                   std::vector<RunResult>& results)
{
    using Clock = std::chrono::steady_clock;
    char buffer[65536];
    const auto deliver = [&](const Running& run, std::int64_t got) {
        if (run.onOutput != nullptr && *run.onOutput)
            (*run.onOutput)(std::string_view(buffer, static_cast<std::size_t>(got)));
    };
    // Time in which we did not run (our process group paused, the machine asleep) does not
    // count against the limit: a wait that overran what it asked for by far counts as asked.
    constexpr std::int64_t oversleepMs = 1000;
    auto lastLook = Clock::now();
    std::int64_t usedMs = 0;
    int askedMs = 0;
    bool timedOut = false;
    bool stopped = false;
    for (;;) {
        // A child whose output is still read is waited for through it; one that closed it,
        // through its end. Whether it ended is asked once: asked twice, a child that ends in
        // between would be neither done nor waited for, and the wait would never return.
        WaitEntry entries[maxWatchedChildren + 1];
        std::size_t count = 0;
        bool done = true;
        bool noPidfd = false;
        for (const auto& run : running) {
            const bool ended = run->child.exitCode() != stillActiveExitCode;
            const int fd = run->output.isValid() ? run->output.get()
                           : ended               ? -2
                                                 : run->child.exitEventFd();
            done = done && !run->output.isValid() && ended;
            noPidfd = noPidfd || fd == -1;
            entries[count++].fd = fd;
        }
        if (done)
            break;
        entries[count++].fd = options.stopFd;
        int waitMs = options.pollMs;
        if (options.timeoutMs >= 0) {
            const auto now = Clock::now();
            const std::int64_t passed =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - lastLook).count();
            lastLook = now;
            usedMs += passed > askedMs + oversleepMs ? askedMs : passed;
            const std::int64_t left = options.timeoutMs - usedMs;
            if (left <= 0) {
                timedOut = true;
                break;
            }
            waitMs = waitMs < 0 ? static_cast<int>(left) : std::min(waitMs, static_cast<int>(left));
        }
        if (noPidfd) // look again shortly
            waitMs = waitMs < 0 ? 10 : std::min(waitMs, 10);
        askedMs = std::max(waitMs, 0);
        waitForAny(entries, count, waitMs);
        if (options.stopRequested && options.stopRequested()) {
            stopped = true;
            break;
        }
        for (std::size_t i = 0; i + 1 < count; ++i) {
            Running& run = *running[i];
            if (!run.output.isValid() || !(entries[i].ready || entries[i].hungUp))
                continue;
            const std::int64_t got = readSome(run.output.get(), buffer, sizeof buffer);
            if (got > 0)
                deliver(run, got);
            else
                run.output.reset(); // end of output, or a pipe that can no longer be read
        }
    }
    if (timedOut || stopped) {
        // Last stage first: one that saw its input end first would take it for complete.
        for (auto run = running.rbegin(); run != running.rend(); ++run)
            (*run)->child.kill();
        // What is already in the pipes is delivered; what the groups' survivors may still
        // write is not waited for.
        for (const auto& run : running) {
            if (!run->output.isValid() || setNonBlocking(run->output.get()) != 0)
                continue;
            std::int64_t got;
            while ((got = readSome(run->output.get(), buffer, sizeof buffer)) > 0)
                deliver(*run, got);
        }
        for (const auto& run : running)
            run->child.waitForExit(killedChildWaitMs);
    }
    for (std::size_t i = 0; i < running.size(); ++i) {
        RunResult& result = results[i];
        ChildProcess& child = running[i]->child;
        result.timedOut = timedOut;
        result.stopped = stopped;
        result.exitCode = child.exitCode();
        result.exitSignal = child.exitSignal();
        result.abandoned = !child.finish();
    }
}

} // namespace

RunResult runChildArgv(const char* const* argv, const RunOptions& options)
{
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

    std::vector<std::unique_ptr<Running>> running;
    running.push_back(std::make_unique<Running>());
    Running& run = *running.front();
    if (const int error = run.child.startArgv(argv, input.get(), outFd, errFd, options.child)) {
        result.startError = error;
        return result;
    }
    // Only the child's copy may keep the pipe open, or its end would never be seen.
    pipe.writeEnd.reset();
    run.output = std::move(pipe.readEnd);
    run.onOutput = &options.onOutput;
    if (options.onStarted)
        options.onStarted(run.child.pid());
    std::vector<RunResult> results(1);
    watchChildren(running, options, results);
    return results.front();
}

std::vector<RunResult> runPipeline(const std::vector<PipelineStage>& stages,
                                   const RunOptions& options)
{
    std::vector<RunResult> results(stages.size());
    if (stages.empty())
        return results;
    if (stages.size() > maxWatchedChildren) {
        results.front().startError = EINVAL;
        return results;
    }
    const UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!input.isValid()) {
        results.front().startError = errno;
        return results;
    }
    std::vector<std::unique_ptr<Running>> running;
    UniqueFd previousOutput; // the read end the next stage takes as its input
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const bool last = i + 1 == stages.size();
        Pipe messages;
        Pipe data;
        int error = createPipe(messages);
        if (error == 0 && !last)
            error = createPipe(data);
        std::vector<const char*> argv;
        for (const std::string& arg : stages[i].argv)
            argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        auto run = std::make_unique<Running>();
        // Only the last stage writes the file; the others get nothing of ours.
        ChildOptions child = options.child;
        if (!last)
            child.passFd = -1;
        if (error == 0)
            error = run->child.startArgv(argv.data(), i == 0 ? input.get() : previousOutput.get(),
                                         last ? messages.writeEnd.get() : data.writeEnd.get(),
                                         messages.writeEnd.get(), child);
        if (error != 0) {
            results[i].startError = error;
            for (auto& started : running)
                started->child.finish();
            return results;
        }
        // Only the children's copies may keep the pipes open, or their ends would never be
        // seen.
        previousOutput = std::move(data.readEnd);
        run->output = std::move(messages.readEnd);
        run->onOutput = &stages[i].onOutput;
        if (options.onStarted)
            options.onStarted(run->child.pid());
        running.push_back(std::move(run));
    }
    previousOutput.reset();
    watchChildren(running, options, results);
    return results;
}

} // namespace tovilo
