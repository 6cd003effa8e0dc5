#include "Conversion.h"

#include "FfmpegLog.h"
#include "OutputCheck.h"
#include "PictureFilter.h"
#include "ProgressLines.h"
#include "TimeRewriter.h"
#include "WrapperArgs.h"
#include "oscore/Child.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tovilo {

namespace {

constexpr int kFailedExit = 1;
constexpr int kUsageExit = 2;
constexpr int kNotFoundExit = 127;
constexpr int kCannotRunExit = 126;
constexpr int kParentGoneExit = 128 + SIGHUP;
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
// How often the wrapper looks whether the program that started it is still there.
constexpr int kWatchIntervalMs = 250;
// Reading the first frames takes well under a second; a source that takes longer to open (a
// hung mount, a stuck probe) is converted with ffmpeg's own choices rather than held up.
constexpr int kProbeSeconds = 5;
// Far more than the probe's listing of a source with many streams and programmes.
constexpr size_t kMaxProbeOutput = 4u << 20;

void reportFailure(FailureKind kind, std::string_view detail)
{
    writeAll(STDERR_FILENO, failureLine(kind, detail));
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

} // namespace

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

Watch::Watch() : m_parent(::getppid()) {}

bool Watch::start()
{
    SignalPipe::Options options;
    options.keepIgnored = false;
    options.restartCalls = false;
    return m_signals.install({SIGTERM, SIGINT, SIGHUP, SIGCHLD}, options);
}

void Watch::update()
{
    unsigned char numbers[64];
    int n;
    while ((n = m_signals.take(numbers, sizeof numbers)) > 0) {
        for (int i = 0; i < n; ++i) {
            if (numbers[i] != SIGCHLD && m_stopSignal == 0)
                m_stopSignal = numbers[i];
        }
    }
    if (::getppid() != m_parent)
        m_parentGone = true;
}

RunResult runWatched(const std::string& program, const std::vector<std::string>& args, Watch& watch,
                     const std::function<bool(std::string_view)>& onOutput, const WatchedRun& how)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.output = CommandOutput::CollectWithError;
    options.timeoutMs = how.timeLimit > 0 ? how.timeLimit * 1000 : -1;
    options.onOutput = [&](std::string_view piece) {
        if (!onOutput(piece))
            watch.readerGone();
        return true;
    };
    options.stopFd = watch.fd();
    options.pollMs = kWatchIntervalMs;
    options.stopRequested = [&] {
        watch.update();
        return watch.stopping();
    };
    // ffmpeg stays in our process group, so that whoever ends the group ends it too; killed
    // along with us if we are killed on our own. We are single-threaded, so the death signal
    // is tied to this process's life.
    options.child.ownGroup = how.ownGroup;
    options.child.dieWithParent = true;
    options.child.passFd = how.passFd;
    return runChild(argv, options);
}

OutputFile::OutputFile(const std::string& path) : m_path(path), m_folderPath(folderOf(path))
{
    const size_t slash = path.rfind('/');
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    m_folder = openFile(m_folderPath.c_str(), O_PATH | O_DIRECTORY);
    m_folderError = m_folder.isValid() ? 0 : errno;
    m_existed = statName(m_before);
}

bool OutputFile::statName(struct stat& st) const
{
    return m_folder.isValid() && !m_name.empty() &&
           ::fstatat(m_folder.get(), m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OutputFile::isLink() const
{
    return m_existed && S_ISLNK(m_before.st_mode);
}

std::optional<Failure> OutputFile::hold(bool overwrite)
{
    if (!m_folder.isValid()) {
        const int error = m_folderError;
        if (error == ENOENT || error == ENOTDIR)
            return Failure{FailureKind::OutputFolder, "the output folder does not exist"};
        return Failure{FailureKind::OutputUnwritable, std::strerror(error)};
    }
    if (m_name.empty() || m_name == "." || m_name == "..")
        return Failure{FailureKind::OutputUnwritable, std::strerror(EISDIR)};
    if (!m_existed) {
        m_held = openFileAt(m_folder.get(), m_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW,
                            0666);
        if (m_held.isValid())
            return std::nullopt;
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return Failure{FailureKind::OutputFolder, "the output folder does not exist"};
        if (error == ENOSPC || error == EDQUOT)
            return Failure{FailureKind::DiskFull, std::strerror(error)};
        if (error == EEXIST || error == ELOOP)
            return Failure{FailureKind::OutputUnwritable, "the output name was taken meanwhile"};
        return Failure{FailureKind::OutputUnwritable, std::strerror(error)};
    }
    if (S_ISDIR(m_before.st_mode))
        return Failure{FailureKind::OutputUnwritable, std::strerror(EISDIR)};
    if (!S_ISREG(m_before.st_mode))
        return Failure{FailureKind::OutputUnwritable, "the output is not a regular file"};
    if (m_before.st_size != 0 && !overwrite)
        return Failure{FailureKind::OutputUnwritable, "the output already exists"};
    // Non-blocking: a pipe put at the name meanwhile must not hold us up.
    m_held = openFileAt(m_folder.get(), m_name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (!m_held.isValid()) {
        const int error = errno;
        return Failure{FailureKind::OutputUnwritable,
                       error == ELOOP ? "the output is a symbolic link" : std::strerror(error)};
    }
    // Only the file seen at the start and with no other name: not one another user put at the
    // name, nor a hard link to a file elsewhere.
    struct stat now = {};
    if (::fstat(m_held.get(), &now) != 0 || !S_ISREG(now.st_mode) ||
        now.st_dev != m_before.st_dev || now.st_ino != m_before.st_ino || now.st_nlink != 1) {
        m_held.reset();
        return Failure{FailureKind::OutputUnwritable,
                       "the output was replaced, or has another name too"};
    }
    return std::nullopt;
}

bool OutputFile::stillNamed() const
{
    struct stat folder = {};
    struct stat opened = {};
    struct stat now = {};
    struct stat held = {};
    // The path the program keeps must lead to what we wrote, its folder as much as its name.
    return m_held.isValid() && ::stat(m_folderPath.c_str(), &folder) == 0 &&
           ::fstat(m_folder.get(), &opened) == 0 && folder.st_dev == opened.st_dev &&
           folder.st_ino == opened.st_ino && statName(now) && ::fstat(m_held.get(), &held) == 0 &&
           now.st_dev == held.st_dev && now.st_ino == held.st_ino;
}

void OutputFile::removeIfOurs() const
{
    struct stat now = {};
    if (!statName(now) || !S_ISREG(now.st_mode))
        return;
    struct stat held = {};
    if (m_held.isValid() && ::fstat(m_held.get(), &held) == 0 &&
        (held.st_dev != now.st_dev || held.st_ino != now.st_ino))
        return; // the name no longer leads to the file the run wrote
    const bool untouched = m_existed && S_ISREG(m_before.st_mode) && m_before.st_size > 0 &&
                           now.st_dev == m_before.st_dev && now.st_ino == m_before.st_ino &&
                           now.st_size == m_before.st_size &&
                           now.st_mtim.tv_sec == m_before.st_mtim.tv_sec &&
                           now.st_mtim.tv_nsec == m_before.st_mtim.tv_nsec;
    if (!untouched)
        ::unlinkat(m_folder.get(), m_name.c_str(), 0);
}

SourceSnapshot::SourceSnapshot(const std::string& path) : m_path(path)
{
    m_known = ::stat(m_path.c_str(), &m_before) == 0 && S_ISREG(m_before.st_mode);
}

bool SourceSnapshot::changed() const
{
    if (!m_known)
        return false;
    struct stat now = {};
    if (::stat(m_path.c_str(), &now) != 0)
        return false; // gone: the diagnosis names that
    return now.st_dev != m_before.st_dev || now.st_ino != m_before.st_ino ||
           now.st_size != m_before.st_size || now.st_mtim.tv_sec != m_before.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != m_before.st_mtim.tv_nsec;
}

SourceInfo probeSource(const std::string& ffmpeg, const Request& request, Watch& watch, bool* hung)
{
    const std::string ffprobe = folderOf(ffmpeg) + "/ffprobe";
    if (::access(ffprobe.c_str(), X_OK) != 0)
        return {};
    std::string text;
    // In a group of its own: a probe stuck on the source is killed with all it started.
    WatchedRun how;
    how.timeLimit = kProbeSeconds;
    how.ownGroup = true;
    const RunResult end = runWatched(
        ffprobe, probeArguments(request.input), watch,
        [&](std::string_view piece) {
            if (text.size() < kMaxProbeOutput)
                text.append(piece);
            return true;
        },
        how);
    if (hung != nullptr)
        *hung = end.abandoned;
    if (end.startError != 0 || end.timedOut || end.stopped || end.exitCode != 0 ||
        text.size() >= kMaxProbeOutput)
        return {};
    return parseProbe(text);
}

namespace {

// ffmpeg names the file in front of its message ("file:<path>: ..."); the program knows which.
std::string withoutFileName(const std::string& line, const Request& request)
{
    for (const std::string* path : {&request.input, &request.output}) {
        const std::string prefix = fileUrl(*path) + ": ";
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    }
    return line;
}

} // namespace

Failure diagnose(const Request& request, const FfmpegLog& log, int exitCode,
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
    if (!openFile(request.input.c_str(), O_RDONLY | O_NONBLOCK).isValid())
        return {FailureKind::InputUnreadable, std::strerror(errno)};

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

    if (exitCode == 0 && log.inputFailed())
        return {FailureKind::InputIncomplete, withoutFileName(log.inputError(), request)};
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

namespace {

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

} // namespace

int convert(const std::string& ffmpeg, const std::vector<std::string>& args, const Request& request)
{
    OutputFile output(request.output);
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
    // A pipe, a socket or a device would hold ffmpeg (and the probe) forever or never end.
    struct stat sourceFile = {};
    if (::stat(request.input.c_str(), &sourceFile) == 0 && !S_ISREG(sourceFile.st_mode) &&
        !S_ISDIR(sourceFile.st_mode)) {
        output.removeIfOurs();
        reportFailure(FailureKind::InputNotFile, "the source is not a regular file");
        return kFailedExit;
    }
    if (const std::optional<Failure> failure = output.hold(request.overwrite)) {
        output.removeIfOurs();
        reportFailure(failure->kind, failure->detail);
        return kFailedExit;
    }
    Watch watch;
    if (!watch.start()) {
        reportFailure(FailureKind::Other,
                      std::string("cannot create a pipe: ") + std::strerror(errno));
        return kCannotRunExit;
    }

    MapOptions options;
    options.overwrite = true; // the file held for ffmpeg, which it replaces
    const SourceSnapshot sourceBefore(request.input);
    bool probeHung = false;
    const SourceInfo source = probeSource(ffmpeg, request, watch, &probeHung);
    if (watch.stopping())
        return stopped(watch, output);
    if (probeHung) {
        // ffmpeg would hang on the source the same way, and be left behind as well.
        output.removeIfOurs();
        reportFailure(FailureKind::InputUnreadable,
                      "reading the source does not return (a hung drive or network folder)");
        return kFailedExit;
    }
    if (!request.audioOnly) {
        options.videoFilter = pictureFilter(source, request.frameWidth, request.frameHeight);
        options.noAutoRotate = source.hasVideo && source.video.oddRotation;
        if (source.mapVideo >= 0)
            options.streams.push_back("0:" + std::to_string(source.mapVideo));
    }
    if (source.mapAudio >= 0)
        options.streams.push_back("0:" + std::to_string(source.mapAudio));
    if (source.skipTo > 0)
        options.start = std::to_string(source.skipTo);

    // ffmpeg writes the held file, never a name.
    std::vector<std::string> ffmpegArgs = mapArguments(args, options);
    ffmpegArgs.back() = fileUrl("/proc/self/fd/" + std::to_string(output.heldFd()));
    WatchedRun how;
    how.passFd = output.heldFd();
    ProgressLines progressLines;
    TimeRewriter rewriter;
    FfmpegLog log;
    log.setInputUrl(fileUrl(request.input));
    const RunResult end = runWatched(
        ffmpeg, ffmpegArgs, watch,
        [&](std::string_view piece) {
            log.feed(piece);
            return writeAll(STDOUT_FILENO, rewriter.feed(progressLines.feed(piece)));
        },
        how);
    log.finish();
    std::string rest = rewriter.feed(progressLines.finish());
    rest += rewriter.finish();
    if (!writeAll(STDOUT_FILENO, rest))
        watch.readerGone();

    if (end.startError != 0) {
        output.removeIfOurs();
        reportFailure(FailureKind::EncoderMissing,
                      "cannot run " + ffmpeg + ": " + std::strerror(end.startError));
        return end.startError == ENOENT ? kNotFoundExit : kCannotRunExit;
    }
    if (watch.stopping())
        return stopped(watch, output);
    if (end.abandoned) {
        output.removeIfOurs();
        reportFailure(FailureKind::InputUnreadable,
                      "ffmpeg could not be ended (a hung drive or network folder)");
        return kFailedExit;
    }
    if (sourceBefore.changed()) {
        output.removeIfOurs();
        reportFailure(FailureKind::InputChanged,
                      "the source changed while it was converted (a recording still running?)");
        return kFailedExit;
    }
    if (end.exitSignal != 0) {
        const int signal = end.exitSignal;
        const bool ended =
            signal == SIGKILL || signal == SIGTERM || signal == SIGINT || signal == SIGHUP;
        output.removeIfOurs();
        reportFailure(ended ? FailureKind::Stopped : FailureKind::Other,
                      "ffmpeg was ended by signal " + signalText(signal));
        return 128 + signal;
    }
    const int exitCode = static_cast<int>(end.exitCode);
    std::string checkProblem;
    if (exitCode == 0 && !log.writeFailed() && !log.inputFailed()) {
        // A source without a picture gives a sound-only MP4, which is what was asked of it.
        const bool needsVideo = !source.known || source.hasVideo;
        checkProblem = checkOutputFile(output.heldFd(), request.audioOnly, needsVideo);
        // ffmpeg copies the matrix it was told to leave alone; the picture is upright now.
        if (checkProblem.empty() && options.noAutoRotate && !clearDisplayMatrix(output.heldFd()))
            checkProblem = "the picture's display matrix cannot be reset";
        if (checkProblem.empty() && output.stillNamed())
            return 0;
        if (checkProblem.empty()) {
            // Someone put something else at the name, or at the folder, while ffmpeg wrote.
            output.removeIfOurs();
            reportFailure(FailureKind::OutputUnwritable,
                          "the output was replaced during the conversion");
            return kFailedExit;
        }
    }
    const Failure failure = diagnose(request, log, exitCode, checkProblem);
    output.removeIfOurs();
    reportFailure(failure.kind, failure.detail);
    return exitCode != 0 ? exitCode : kFailedExit;
}

int runWrapper(const std::vector<std::string>& args)
{
    Request request;
    try {
        request = describeRequest(args);
    } catch (const ArgumentError& error) {
        reportFailure(FailureKind::Usage, error.what());
        return kUsageExit;
    }
    return convert(findFfmpeg(), args, request);
}

} // namespace tovilo
