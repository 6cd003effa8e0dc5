// lib/ffmpeg: takes the program's older encoder dialect, runs the system ffmpeg with the
// equivalent current arguments and passes its output on with progress times in seconds.

#include "TimeRewriter.h"
#include "WrapperArgs.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kUsageExit = 2;
constexpr int kNotFoundExit = 127;
constexpr int kCannotRunExit = 126;
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

volatile sig_atomic_t g_child = 0;

void writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

void report(const std::string& message)
{
    writeAll(STDERR_FILENO, "lib/ffmpeg: " + message + "\n");
}

void forwardSignal(int signal)
{
    const int savedErrno = errno;
    if (g_child > 0)
        ::kill(g_child, signal);
    errno = savedErrno;
}

// The first executable "ffmpeg" on PATH that is not this wrapper: a PATH that holds our own lib/
// folder must not make us run ourselves.
std::string findFfmpeg()
{
    const char* pathVariable = std::getenv("PATH");
    const std::string path = pathVariable ? pathVariable : kDefaultPath;
    struct stat self = {};
    const bool knowSelf = ::stat("/proc/self/exe", &self) == 0;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find(':', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string dir = end == begin ? "." : path.substr(begin, end - begin);
        begin = end + 1;
        const std::string candidate = dir + "/ffmpeg";
        struct stat st = {};
        if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            ::access(candidate.c_str(), X_OK) != 0)
            continue;
        if (knowSelf && st.st_dev == self.st_dev && st.st_ino == self.st_ino)
            continue;
        return candidate;
    }
    return {};
}

int run(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int output[2];
    int execError[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(execError, O_CLOEXEC) != 0) {
        report(std::string("cannot create a pipe: ") + std::strerror(errno));
        return kCannotRunExit;
    }
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    struct sigaction forward = {};
    forward.sa_handler = forwardSignal;
    forward.sa_flags = SA_RESTART;
    sigemptyset(&forward.sa_mask);
    const int forwarded[] = {SIGTERM, SIGINT, SIGHUP};
    sigset_t blocked;
    sigset_t previousMask;
    sigemptyset(&blocked);
    for (int signal : forwarded) {
        ::sigaction(signal, &forward, nullptr);
        sigaddset(&blocked, signal);
    }
    // Held back until the child's pid is known, so none is lost or caught by the child's copy
    // of the handler before exec.
    ::sigprocmask(SIG_BLOCK, &blocked, &previousMask);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        for (int signal : forwarded)
            ::sigaction(signal, &standard, nullptr);
        ::sigaction(SIGPIPE, &standard, nullptr);
        ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
        // ffmpeg stays in our process group; this also ends it if we are killed on our own.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(kCannotRunExit);
        if (input >= 0)
            ::dup2(input, STDIN_FILENO);
        else
            ::close(STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        const int error = errno;
        [[maybe_unused]] ssize_t ignored = ::write(execError[1], &error, sizeof error);
        ::_exit(kCannotRunExit);
    }
    const int forkError = errno;
    ::close(output[1]);
    ::close(execError[1]);
    if (input >= 0)
        ::close(input);
    if (child < 0) {
        report(std::string("cannot start ffmpeg: ") + std::strerror(forkError));
        return kCannotRunExit;
    }
    g_child = child;
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);

    int execErrno = 0;
    ssize_t n;
    while ((n = ::read(execError[0], &execErrno, sizeof execErrno)) < 0 && errno == EINTR) {
    }
    ::close(execError[0]);
    const bool execFailed = n == static_cast<ssize_t>(sizeof execErrno);

    tovilo::TimeRewriter rewriter;
    char buffer[65536];
    while (!execFailed) {
        const ssize_t got = ::read(output[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        writeAll(STDOUT_FILENO, rewriter.feed(std::string_view(buffer, static_cast<size_t>(got))));
    }
    writeAll(STDOUT_FILENO, rewriter.finish());
    ::close(output[0]);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    g_child = 0;
    if (execFailed) {
        report("cannot run " + program + ": " + std::strerror(execErrno));
        return execErrno == ENOENT ? kNotFoundExit : kCannotRunExit;
    }
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        report("ffmpeg was ended by signal " + std::to_string(signal) + " (" + ::strsignal(signal) +
               ")");
        return 128 + signal;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : kCannotRunExit;
}

} // namespace

int main(int argc, char** argv)
{
    // A reader that went away must not kill us half-way; ffmpeg finishes the file regardless.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> ffmpegArgs;
    try {
        ffmpegArgs = tovilo::mapArguments(args);
    } catch (const tovilo::ArgumentError& error) {
        report(error.what());
        return kUsageExit;
    }
    const std::string ffmpeg = findFfmpeg();
    if (ffmpeg.empty()) {
        report("ffmpeg was not found on PATH; install the ffmpeg package");
        return kNotFoundExit;
    }
    return run(ffmpeg, ffmpegArgs);
}
