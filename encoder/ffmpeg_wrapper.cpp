// lib/ffmpeg: takes the program's older encoder dialect, runs the system ffmpeg with the
// equivalent current arguments and passes its output on with progress times in seconds. It
// reports success only for a complete output file, ends every failure with one line naming
// the reason, and never leaves ffmpeg running once the program that started it is gone.

#include "FfmpegLog.h"
#include "OutputCheck.h"
#include "PictureFilter.h"
#include "SourceProbe.h"
#include "TimeRewriter.h"
#include "WrapperArgs.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using tovilo::FailureKind;

constexpr int kFailedExit = 1;
constexpr int kUsageExit = 2;
constexpr int kNotFoundExit = 127;
constexpr int kCannotRunExit = 126;
constexpr int kParentGoneExit = 128 + SIGHUP;
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
// How often the wrapper looks whether the program that started it is still there.
constexpr int kWatchIntervalMs = 250;
// Reading the first frames takes well under a second; a source that takes longer to
// open is converted without deinterlacing rather than held up.
constexpr int kProbeSeconds = 30;
// Far more than the probe's listing of a source with many streams and programmes.
constexpr size_t kMaxProbeOutput = 4u << 20;
constexpr const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

int g_signalPipe = -1; // write end of the self-pipe

void onSignal(int signal)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t ignored = ::write(g_signalPipe, &byte, 1);
    errno = savedErrno;
}

// False when the reader has gone away.
bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void reportFailure(FailureKind kind, std::string_view detail)
{
    writeAll(STDERR_FILENO, tovilo::failureLine(kind, detail));
}

std::string signalText(int signal)
{
    return std::to_string(signal) + " (" + ::strsignal(signal) + ")";
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

// Our stop signals and the end of the program that started us. The program may be killed
// outright, so nothing it does on its way out can be relied on: its end shows as our parent
// changing, or as the pipe it read our output from breaking.
class Watch
{
public:
    bool start()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        m_read = fds[0];
        g_signalPipe = fds[1];
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        for (int signal : kStopSignals)
            ::sigaction(signal, &action, nullptr);
        action.sa_flags = SA_NOCLDSTOP;
        ::sigaction(SIGCHLD, &action, nullptr);
        return true;
    }

    int fd() const { return m_read; }

    // Takes in what happened since the last look.
    void update()
    {
        unsigned char bytes[64];
        ssize_t n;
        while ((n = ::read(m_read, bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (bytes[i] != SIGCHLD && m_stopSignal == 0)
                    m_stopSignal = bytes[i];
            }
        }
        if (::getppid() != m_parent)
            m_parentGone = true;
    }

    void readerGone() { m_parentGone = true; }
    bool stopping() const { return m_stopSignal != 0 || m_parentGone; }
    bool parentGone() const { return m_parentGone; }
    int stopSignal() const { return m_stopSignal; }

private:
    const pid_t m_parent = ::getppid();
    int m_read = -1;
    int m_stopSignal = 0;
    bool m_parentGone = false;
};

struct ChildEnd
{
    int execErrno = 0; // the program could not be started
    int status = 0;    // from waitpid
    bool timedOut = false;
};

double now()
{
    timespec ts = {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs program with stdin from /dev/null and stdout and stderr into one pipe whose bytes go to
// onOutput (false from it: they can no longer be delivered). The child is killed as soon as the
// watch says stop or the time limit (seconds, 0 for none) is over.
ChildEnd runChild(const std::string& program, const std::vector<std::string>& args, Watch& watch,
                  const std::function<bool(std::string_view)>& onOutput, int timeLimit = 0)
{
    ChildEnd end;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int output[2];
    int execError[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        end.execErrno = errno;
        return end;
    }
    if (::pipe2(execError, O_CLOEXEC) != 0) {
        end.execErrno = errno;
        ::close(output[0]);
        ::close(output[1]);
        return end;
    }
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    // Held back over the fork so that the child never runs our handlers before exec.
    sigset_t blocked;
    sigset_t previousMask;
    sigemptyset(&blocked);
    for (int signal : kStopSignals)
        sigaddset(&blocked, signal);
    sigaddset(&blocked, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &blocked, &previousMask);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        for (int signal : kStopSignals)
            ::sigaction(signal, &standard, nullptr);
        ::sigaction(SIGCHLD, &standard, nullptr);
        ::sigaction(SIGPIPE, &standard, nullptr);
        ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
        // The child stays in our process group; this also ends it if we are killed on our own.
        // We are single-threaded, so the signal is tied to this process's life.
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
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    ::close(output[1]);
    ::close(execError[1]);
    if (input >= 0)
        ::close(input);
    if (child < 0) {
        ::close(output[0]);
        ::close(execError[0]);
        end.execErrno = forkError;
        return end;
    }

    ssize_t n;
    int execErrno = 0;
    while ((n = ::read(execError[0], &execErrno, sizeof execErrno)) < 0 && errno == EINTR) {
    }
    ::close(execError[0]);
    if (n == static_cast<ssize_t>(sizeof execErrno))
        end.execErrno = execErrno;

    const double deadline = timeLimit > 0 ? now() + timeLimit : 0;
    int outputFd = end.execErrno == 0 ? output[0] : -1;
    if (outputFd < 0)
        ::close(output[0]);
    bool killed = false;
    bool reaped = false;
    char buffer[65536];
    while (!reaped) {
        pollfd fds[2] = {{watch.fd(), POLLIN, 0}, {outputFd, POLLIN, 0}};
        const int ready = ::poll(fds, outputFd >= 0 ? 2 : 1, kWatchIntervalMs);
        watch.update();
        if (deadline > 0 && now() > deadline)
            end.timedOut = true;
        if (!killed && (watch.stopping() || end.timedOut)) {
            ::kill(child, SIGKILL);
            killed = true;
        }
        if (ready > 0 && outputFd >= 0 && fds[1].revents != 0) {
            const ssize_t got = ::read(outputFd, buffer, sizeof buffer);
            if (got > 0) {
                if (!onOutput(std::string_view(buffer, static_cast<size_t>(got))))
                    watch.readerGone();
            } else if (got == 0 || errno != EINTR) {
                ::close(outputFd);
                outputFd = -1;
            }
            continue; // read on until the child has closed its end
        }
        if (outputFd < 0 || killed) {
            int status = 0;
            const pid_t done = ::waitpid(child, &status, outputFd < 0 ? WNOHANG : 0);
            if (done == child) {
                end.status = status;
                reaped = true;
            }
        }
    }
    if (outputFd >= 0)
        ::close(outputFd);
    return end;
}

// The output path as it was before the run, so that a failed run removes only what it made or
// changed: never a link, a folder or a device, nor a file the run did not touch.
class OutputFile
{
public:
    explicit OutputFile(std::string path) : m_path(std::move(path))
    {
        m_existed = ::lstat(m_path.c_str(), &m_before) == 0;
    }

    bool isLink() const { return m_existed && S_ISLNK(m_before.st_mode); }
    bool isEmptyFile() const
    {
        return m_existed && S_ISREG(m_before.st_mode) && m_before.st_size == 0;
    }

    void removeIfOurs() const
    {
        struct stat now = {};
        if (::lstat(m_path.c_str(), &now) != 0 || !S_ISREG(now.st_mode))
            return;
        const bool untouched = m_existed && S_ISREG(m_before.st_mode) && m_before.st_size > 0 &&
                               now.st_dev == m_before.st_dev && now.st_ino == m_before.st_ino &&
                               now.st_size == m_before.st_size &&
                               now.st_mtim.tv_sec == m_before.st_mtim.tv_sec &&
                               now.st_mtim.tv_nsec == m_before.st_mtim.tv_nsec;
        if (!untouched)
            ::unlink(m_path.c_str());
    }

private:
    std::string m_path;
    struct stat m_before = {};
    bool m_existed = false;
};

// The source as the ffprobe that comes with the ffmpeg found sees it. Without one, or for a
// source it cannot read, the source stays unknown: the conversion goes on with ffmpeg's own
// choices and ffmpeg reports what is wrong.
tovilo::SourceInfo probeSource(const std::string& ffmpeg, const tovilo::Request& request,
                               Watch& watch)
{
    const std::string ffprobe = folderOf(ffmpeg) + "/ffprobe";
    if (::access(ffprobe.c_str(), X_OK) != 0)
        return {};
    std::string text;
    const ChildEnd end = runChild(
        ffprobe, tovilo::probeArguments(request.input), watch,
        [&](std::string_view piece) {
            if (text.size() < kMaxProbeOutput)
                text.append(piece);
            return true;
        },
        kProbeSeconds);
    if (end.execErrno != 0 || end.timedOut || !WIFEXITED(end.status) ||
        WEXITSTATUS(end.status) != 0 || text.size() >= kMaxProbeOutput)
        return {};
    return tovilo::parseProbe(text);
}

struct Failure
{
    FailureKind kind;
    std::string detail;
};

// ffmpeg names the file in front of its message ("file:<path>: ..."); the program knows which.
std::string withoutFileName(const std::string& line, const tovilo::Request& request)
{
    for (const std::string* path : {&request.input, &request.output}) {
        const std::string prefix = tovilo::fileUrl(*path) + ": ";
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    }
    return line;
}

// Why a run that ffmpeg finished did not give a good file. The wrapper looks at the input and
// the output folder itself: that is surer than reading ffmpeg's messages.
Failure diagnose(const tovilo::Request& request, const tovilo::FfmpegLog& log, int exitCode,
                 const std::string& checkProblem)
{
    if (log.noSpace())
        return {FailureKind::DiskFull, log.noSpaceText()};

    struct stat st = {};
    if (::stat(request.input.c_str(), &st) != 0) {
        const int error = errno;
        return {error == ENOENT || error == ENOTDIR ? FailureKind::InputMissing
                                                    : FailureKind::InputUnreadable,
                std::strerror(error)};
    }
    if (S_ISDIR(st.st_mode))
        return {FailureKind::InputUnreadable, std::strerror(EISDIR)};
    const int input = ::open(request.input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (input < 0)
        return {FailureKind::InputUnreadable, std::strerror(errno)};
    ::close(input);

    const std::string folder = folderOf(request.output);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {FailureKind::OutputFolder, "the output folder does not exist"};
    if (::lstat(request.output.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return {FailureKind::OutputUnwritable, std::strerror(EISDIR)};
        if (::access(request.output.c_str(), W_OK) != 0)
            return {FailureKind::OutputUnwritable, std::strerror(errno)};
    } else if (::access(folder.c_str(), W_OK) != 0) {
        return {FailureKind::OutputUnwritable, std::strerror(errno)};
    }

    if (log.invalidInput())
        return {FailureKind::InputInvalid, "Invalid data found when processing input"};
    if (request.audioOnly && log.noStream())
        return {FailureKind::NoAudio, "the source has no audio track"};
    if (log.writeFailed())
        return {FailureKind::IncompleteOutput, withoutFileName(log.writeError(), request)};
    if (exitCode == 0)
        return {FailureKind::IncompleteOutput, checkProblem};
    if (!log.lastError().empty())
        return {FailureKind::Other, withoutFileName(log.lastError(), request)};
    return {FailureKind::Other, "ffmpeg exited with code " + std::to_string(exitCode)};
}

int stopped(const Watch& watch, const OutputFile& output)
{
    output.removeIfOurs();
    if (watch.parentGone()) {
        reportFailure(FailureKind::Stopped, "the program that started the conversion is gone");
        return kParentGoneExit;
    }
    reportFailure(FailureKind::Stopped, "stopped by signal " + signalText(watch.stopSignal()));
    return 128 + watch.stopSignal();
}

// ffmpeg: the program found on PATH, empty for none.
int convert(const std::string& ffmpeg, const std::vector<std::string>& args,
            const tovilo::Request& request)
{
    const OutputFile output(request.output);
    // A link would make ffmpeg write wherever it points, a file the user never chose.
    if (output.isLink()) {
        reportFailure(FailureKind::OutputUnwritable, "the output is a symbolic link");
        return kFailedExit;
    }
    if (ffmpeg.empty()) {
        output.removeIfOurs(); // the empty file reserved for us
        reportFailure(FailureKind::EncoderMissing,
                      "ffmpeg was not found on PATH; install the ffmpeg package");
        return kNotFoundExit;
    }
    Watch watch;
    if (!watch.start()) {
        reportFailure(FailureKind::Other,
                      std::string("cannot create a pipe: ") + std::strerror(errno));
        return kCannotRunExit;
    }

    tovilo::MapOptions options;
    options.overwrite = output.isEmptyFile(); // the file the program reserved for us
    const tovilo::SourceInfo source = probeSource(ffmpeg, request, watch);
    if (watch.stopping())
        return stopped(watch, output);
    if (!request.audioOnly) {
        options.videoFilter =
            tovilo::pictureFilter(source, request.frameWidth, request.frameHeight);
        if (source.mapVideo >= 0)
            options.streams.push_back("0:" + std::to_string(source.mapVideo));
    }
    if (source.mapAudio >= 0)
        options.streams.push_back("0:" + std::to_string(source.mapAudio));
    if (source.skipTo > 0)
        options.start = std::to_string(source.skipTo);

    tovilo::TimeRewriter rewriter;
    tovilo::FfmpegLog log;
    const ChildEnd end =
        runChild(ffmpeg, tovilo::mapArguments(args, options), watch, [&](std::string_view piece) {
            log.feed(piece);
            return writeAll(STDOUT_FILENO, rewriter.feed(piece));
        });
    log.finish();
    if (!writeAll(STDOUT_FILENO, rewriter.finish()))
        watch.readerGone();

    if (end.execErrno != 0) {
        output.removeIfOurs();
        reportFailure(FailureKind::EncoderMissing,
                      "cannot run " + ffmpeg + ": " + std::strerror(end.execErrno));
        return end.execErrno == ENOENT ? kNotFoundExit : kCannotRunExit;
    }
    if (watch.stopping())
        return stopped(watch, output);
    if (WIFSIGNALED(end.status)) {
        const int signal = WTERMSIG(end.status);
        const bool ended =
            signal == SIGKILL || signal == SIGTERM || signal == SIGINT || signal == SIGHUP;
        output.removeIfOurs();
        reportFailure(ended ? FailureKind::Stopped : FailureKind::Other,
                      "ffmpeg was ended by signal " + signalText(signal));
        return 128 + signal;
    }
    const int exitCode = WIFEXITED(end.status) ? WEXITSTATUS(end.status) : kCannotRunExit;
    std::string checkProblem;
    if (exitCode == 0 && !log.writeFailed()) {
        // A source without a picture gives a sound-only MP4, which is what was asked of it.
        const bool needsVideo = !source.known || source.hasVideo;
        checkProblem = tovilo::checkOutputFile(request.output, request.audioOnly, needsVideo);
        if (checkProblem.empty())
            return 0;
    }
    const Failure failure = diagnose(request, log, exitCode, checkProblem);
    output.removeIfOurs();
    reportFailure(failure.kind, failure.detail);
    return exitCode != 0 ? exitCode : kFailedExit;
}

} // namespace

int main(int argc, char** argv)
{
    // A reader that went away shows as a failed write, which the run treats as the program's end.
    ::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);
    tovilo::Request request;
    try {
        request = tovilo::describeRequest(args);
    } catch (const tovilo::ArgumentError& error) {
        reportFailure(FailureKind::Usage, error.what());
        return kUsageExit;
    }
    return convert(findFfmpeg(), args, request);
}
