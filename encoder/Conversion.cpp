#include "Conversion.h"

#include "DvdLanguages.h"
#include "FfmpegLog.h"
#include "OutputCheck.h"
#include "PictureFilter.h"
#include "ProgressLines.h"
#include "TimeRewriter.h"
#include "TrackPlan.h"
#include "WrapperArgs.h"
#include "oscore/Child.h"
#include "oscore/FileInfo.h"
#include "oscore/OwnFile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <string_view>
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

// A line for the log that fails nothing.
void note(std::string_view text)
{
    std::string line = "lib/ffmpeg: note: ";
    for (char c : text)
        line += c == '\n' || c == '\r' ? ' ' : c;
    writeAll(STDERR_FILENO, line + "\n");
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
    const std::optional<FileInfo> self = fileInfo("/proc/self/exe");
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find(':', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string dir = end == begin ? "." : path.substr(begin, end - begin);
        begin = end + 1;
        const std::string candidate = dir + "/ffmpeg";
        const std::optional<FileInfo> found = fileInfo(candidate.c_str());
        if (!found || !found->isRegular() || ::access(candidate.c_str(), X_OK) != 0)
            continue;
        if (self && found->sameFile(*self))
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
    m_before = atName();
}

std::optional<FileInfo> OutputFile::atName() const
{
    if (!m_folder.isValid() || m_name.empty())
        return std::nullopt;
    return linkInfoAt(m_folder.get(), m_name.c_str());
}

bool OutputFile::isLink() const
{
    return m_before && m_before->isLink();
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
    if (!m_before) {
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
    if (m_before->isDirectory())
        return Failure{FailureKind::OutputUnwritable, std::strerror(EISDIR)};
    if (!m_before->isRegular())
        return Failure{FailureKind::OutputUnwritable, "the output is not a regular file"};
    if (m_before->size != 0 && !overwrite)
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
    const std::optional<FileInfo> now = openFileInfo(m_held.get());
    if (!now || !now->isRegular() || !now->sameFile(*m_before) || now->links != 1) {
        m_held.reset();
        return Failure{FailureKind::OutputUnwritable,
                       "the output was replaced, or has another name too"};
    }
    return std::nullopt;
}

bool OutputFile::stillNamed() const
{
    if (!m_held.isValid())
        return false;
    // The path the program keeps must lead to what we wrote, its folder as much as its name.
    const std::optional<FileInfo> folder = fileInfo(m_folderPath.c_str());
    const std::optional<FileInfo> opened = openFileInfo(m_folder.get());
    if (!folder || !opened || !folder->sameFile(*opened))
        return false;
    const std::optional<FileInfo> now = atName();
    const std::optional<FileInfo> held = openFileInfo(m_held.get());
    return now && held && now->sameFile(*held);
}

void OutputFile::removeIfOurs() const
{
    if (!m_folder.isValid() || m_name.empty())
        return;
    const std::optional<FileInfo> held =
        m_held.isValid() ? openFileInfo(m_held.get()) : std::nullopt;
    tovilo::removeIfOurs(m_folder.get(), m_name.c_str(), [&](const struct stat& st) {
        const FileInfo now = FileInfo::of(st);
        if (!now.isRegular())
            return false;
        if (held && !now.sameFile(*held))
            return false; // the name no longer leads to the file the run wrote
        const bool untouched = m_before && m_before->isRegular() && m_before->size > 0 &&
                               now.unchangedSince(*m_before);
        return !untouched;
    });
}

SourceSnapshot::SourceSnapshot(const std::string& path) : m_path(path)
{
    m_before = fileInfo(m_path.c_str());
    if (m_before && !m_before->isRegular())
        m_before.reset();
}

bool SourceSnapshot::changed() const
{
    if (!m_before)
        return false;
    const std::optional<FileInfo> now = fileInfo(m_path.c_str());
    if (!now)
        return false; // gone: the diagnosis names that
    return !now->unchangedSince(*m_before);
}

SourceInfo probeSource(const std::string& ffmpeg, const WrapperRequest& request, Watch& watch,
                       bool* hung)
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
        ffprobe, probeArguments(request.source), watch,
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
std::string withoutFileName(const std::string& line, const WrapperRequest& request)
{
    for (const std::string* path : {&request.source, &request.output}) {
        const std::string prefix = fileUrl(*path) + ": ";
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    }
    return line;
}

} // namespace

Failure diagnose(const WrapperRequest& request, const FfmpegLog& log, int exitCode,
                 const std::string& checkProblem)
{
    if (log.noSpace())
        return {FailureKind::DiskFull, log.noSpaceText()};

    const std::optional<FileInfo> input = fileInfo(request.source.c_str());
    if (!input) {
        const int error = errno;
        return {error == ENOENT || error == ENOTDIR ? FailureKind::InputMissing
                                                    : FailureKind::InputUnreadable,
                std::strerror(error)};
    }
    if (input->isDirectory())
        return {FailureKind::InputUnreadable, std::strerror(EISDIR)};
    if (!openFile(request.source.c_str(), O_RDONLY | O_NONBLOCK).isValid())
        return {FailureKind::InputUnreadable, std::strerror(errno)};

    const std::string folder = folderOf(request.output);
    const std::optional<FileInfo> folderInfo = fileInfo(folder.c_str());
    if (!folderInfo || !folderInfo->isDirectory())
        return {FailureKind::OutputFolder, "the output folder does not exist"};
    if (const std::optional<FileInfo> existing = linkInfo(request.output.c_str())) {
        if (existing->isDirectory())
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

// How a failed run ends: the line it reports and its exit code.
struct Ending
{
    Failure failure;
    int exitCode = kFailedExit;
    // Left as it is: what stands at the name was never ours to remove.
    bool keepOutput = false;
};

Ending failed(FailureKind kind, std::string detail, int exitCode = kFailedExit)
{
    return {{kind, std::move(detail)}, exitCode};
}

Ending stopped(const Watch& watch)
{
    if (watch.parentGone())
        return failed(FailureKind::Stopped, "the program that started the conversion is gone",
                      kParentGoneExit);
    return failed(FailureKind::Stopped, "stopped by signal " + signalText(watch.stopSignal()),
                  128 + watch.stopSignal());
}

// Why a finished ffmpeg run gave no file, or nothing when it gave a good one.
std::optional<Ending> judgeRun(const std::string& ffmpeg, const WrapperRequest& request,
                               const SourceInfo& source, const SourceSnapshot& sourceBefore,
                               const OutputFile& output, const Watch& watch, const RunResult& end,
                               const FfmpegLog& log)
{
    if (end.startError != 0)
        return failed(FailureKind::EncoderMissing,
                      "cannot run " + ffmpeg + ": " + std::strerror(end.startError),
                      end.startError == ENOENT ? kNotFoundExit : kCannotRunExit);
    if (watch.stopping())
        return stopped(watch);
    if (end.abandoned)
        return failed(FailureKind::InputUnreadable,
                      "ffmpeg could not be ended (a hung drive or network folder)");
    if (sourceBefore.changed())
        return failed(FailureKind::InputChanged,
                      "the source changed while it was converted (a recording still running?)");
    if (end.exitSignal != 0) {
        const int signal = end.exitSignal;
        const bool ended =
            signal == SIGKILL || signal == SIGTERM || signal == SIGINT || signal == SIGHUP;
        return failed(ended ? FailureKind::Stopped : FailureKind::Other,
                      "ffmpeg was ended by signal " + signalText(signal), 128 + signal);
    }
    const int exitCode = static_cast<int>(end.exitCode);
    std::string checkProblem;
    if (exitCode == 0 && !log.writeFailed() && !log.inputFailed()) {
        // A source without a picture gives a sound-only MP4, which is what was asked of it.
        const bool needsVideo = !source.known || source.hasVideo;
        checkProblem = checkOutputFile(output.heldFd(), request.audioOnly, needsVideo);
        // ffmpeg copies the matrix it was told to leave alone; the picture is upright now.
        if (checkProblem.empty() && !request.audioOnly && source.hasVideo &&
            source.video.oddRotation && !clearDisplayMatrix(output.heldFd()))
            checkProblem = "the picture's display matrix cannot be reset";
        if (checkProblem.empty() && output.stillNamed())
            return std::nullopt;
        // Someone put something else at the name, or at the folder, while ffmpeg wrote.
        if (checkProblem.empty())
            return failed(FailureKind::OutputUnwritable,
                          "the output was replaced during the conversion");
    }
    return Ending{diagnose(request, log, exitCode, checkProblem),
                  exitCode != 0 ? exitCode : kFailedExit};
}

std::optional<Ending> runConversion(const std::string& ffmpeg, const WrapperRequest& request,
                                    OutputFile& output)
{
    // A link would make ffmpeg write wherever it points, a file the user never chose.
    if (output.isLink()) {
        Ending ending = failed(FailureKind::OutputUnwritable, "the output is a symbolic link");
        ending.keepOutput = true;
        return ending;
    }
    if (ffmpeg.empty()) // the empty file reserved for us goes
        return failed(FailureKind::EncoderMissing,
                      "ffmpeg was not found on PATH; install the ffmpeg package", kNotFoundExit);
    // A pipe, a socket or a device would hold ffmpeg (and the probe) forever or never end.
    const std::optional<FileInfo> sourceFile = fileInfo(request.source.c_str());
    if (sourceFile && !sourceFile->isRegular() && !sourceFile->isDirectory())
        return failed(FailureKind::InputNotFile, "the source is not a regular file");
    if (std::optional<Failure> failure = output.hold(request.overwrite))
        return Ending{std::move(*failure)};
    Watch watch;
    if (!watch.start()) {
        Ending ending =
            failed(FailureKind::Other, std::string("cannot create a pipe: ") + std::strerror(errno),
                   kCannotRunExit);
        ending.keepOutput = true;
        return ending;
    }

    const SourceSnapshot sourceBefore(request.source);
    bool probeHung = false;
    SourceInfo source = probeSource(ffmpeg, request, watch, &probeHung);
    if (watch.stopping())
        return stopped(watch);
    // ffmpeg would hang on the source the same way, and be left behind as well.
    if (probeHung)
        return failed(FailureKind::InputUnreadable,
                      "reading the source does not return (a hung drive or network folder)");
    addDvdLanguages(request.source, source);
    const SubtitleSource subtitles = prepareSubtitles(request, source);
    if (!subtitles.note.empty())
        note("subtitles left out: " + subtitles.note);

    WatchedRun how;
    how.passFd = output.heldFd();
    ProgressLines progressLines;
    TimeRewriter rewriter;
    FfmpegLog log;
    // ffmpeg writes the held file, never a name.
    const auto runFfmpeg = [&](const BurnIn& burn) {
        std::vector<std::string> ffmpegArgs =
            mapArguments(request, mapOptionsFor(request, source, burn));
        ffmpegArgs.back() = fileUrl("/proc/self/fd/" + std::to_string(output.heldFd()));
        progressLines = ProgressLines();
        rewriter = TimeRewriter();
        log = FfmpegLog();
        log.setInputUrl(fileUrl(request.source));
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
        return end;
    };
    RunResult end = runFfmpeg(subtitles.burn);
    // A subtitle track that cannot be read must not cost the film: once more without it.
    if (subtitles.burn.kind != BurnIn::Kind::None && end.startError == 0 && !watch.stopping() &&
        end.exitSignal == 0 && end.exitCode != 0) {
        note("subtitles left out: " + log.lastError());
        end = runFfmpeg({});
    }
    return judgeRun(ffmpeg, request, source, sourceBefore, output, watch, end, log);
}

} // namespace

int convert(const std::string& ffmpeg, const WrapperRequest& request)
{
    OutputFile output(request.output);
    const std::optional<Ending> ending = runConversion(ffmpeg, request, output);
    if (!ending)
        return 0;
    if (!ending->keepOutput)
        output.removeIfOurs();
    reportFailure(ending->failure.kind, ending->failure.detail);
    return ending->exitCode;
}

int runWrapper(const std::vector<std::string>& args)
{
    WrapperRequest request;
    try {
        request = parseWrapperArguments(args);
    } catch (const ArgumentError& error) {
        reportFailure(FailureKind::Usage, error.what());
        return kUsageExit;
    }
    return convert(findFfmpeg(), request);
}

} // namespace tovilo
