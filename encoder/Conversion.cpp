#include "encoder/Conversion.h"

#include "encoder/Cover.h"
#include "encoder/Diagnosis.h"
#include "encoder/output/OutputCheck.h"
#include "encoder/output/OutputFile.h"
#include "encoder/plan/DvdLanguages.h"
#include "encoder/plan/OutputIdentity.h"
#include "encoder/plan/PictureFilter.h"
#include "encoder/plan/PipelineArgs.h"
#include "encoder/plan/SourceProbe.h"
#include "encoder/plan/TrackPlan.h"
#include "encoder/plan/WrapperArgs.h"
#include "encoder/run/BurnInBudget.h"
#include "encoder/run/FfmpegLog.h"
#include "encoder/run/ProgressLines.h"
#include "encoder/run/Report.h"
#include "encoder/run/TimeRewriter.h"
#include "encoder/run/WatchedRun.h"
#include "oscore/FileInfo.h"

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

std::string signalText(int signal)
{
    return std::to_string(signal) + " (" + ::strsignal(signal) + ")";
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

// The stage of a pipeline whose end tells how the conversion went: one that could not be
// started; else the decoding side when it failed by itself, not merely because the encoding
// side stopped reading (a broken pipe); else the encoding side. A decoding side that ended
// early leaves the encoding side a short file it takes for whole.
size_t decidingStage(const std::vector<RunResult>& ends, const FfmpegLog& decodeLog)
{
    for (size_t i = 0; i < ends.size(); ++i) {
        if (ends[i].startError != 0)
            return i;
    }
    const RunResult& decode = ends.front();
    const bool failed =
        decode.exitSignal != 0
            ? decode.exitSignal != SIGPIPE
            : (decode.exitCode != 0 && !decodeLog.writeFailed()) || decodeLog.inputFailed();
    return failed ? 0 : ends.size() - 1;
}

// One ffmpeg's output on its way to ours: progress times in seconds, whole lines only, and
// what it says kept for judging the run.
struct PassedOutput
{
    PassedOutput() = default;
    PassedOutput(const std::string& source, bool keepProgress) : lines(keepProgress)
    {
        log.setInputUrl(fileUrl(source));
    }

    std::string feed(std::string_view piece)
    {
        log.feed(piece);
        return rewriter.feed(lines.feed(piece));
    }
    std::string finish()
    {
        log.finish();
        std::string rest = rewriter.feed(lines.finish());
        return rest + rewriter.finish();
    }

    ProgressLines lines;
    TimeRewriter rewriter;
    FfmpegLog log;
};

// Why a finished ffmpeg run gave no file, or nothing when it gave a good one.
std::optional<Ending> judgeRun(const std::string& ffmpeg, const WrapperRequest& request,
                               const SourceInfo& source, const SourceSnapshot& sourceBefore,
                               OutputFile& output, Watch& watch, const RunResult& end,
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
        checkProblem = checkOutputFile(output.partialFd(), request.audioOnly, needsVideo);
        // ffmpeg copies the matrix it was told to leave alone; the picture is upright now.
        if (checkProblem.empty() && !request.audioOnly && source.hasVideo &&
            source.video.oddRotation && !clearDisplayMatrix(output.partialFd()))
            checkProblem = "the picture's display matrix cannot be reset";
        // A cover is a nicety: the file goes without one when none can be put in.
        if (checkProblem.empty() && !request.audioOnly && source.hasVideo &&
            !addCover(ffmpeg, output.partialFd(), watch))
            note("cover picture left out");
        if (checkProblem.empty()) {
            if (std::optional<Failure> failure = output.putInPlace())
                return Ending{std::move(*failure)};
            return std::nullopt;
        }
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
        reportNotice(NoticeKind::SubtitlesLeftOut, subtitles.note);
    for (const std::string& repair : subtitles.repairs)
        note("subtitles: " + repair);
    BurnInBudget budget([&](double position) {
        return costWithoutSubtitles(ffmpeg, request, source, watch, position);
    });
    const OutputIdentity identity = outputIdentityFor(request, source);
    const UniqueFd chapters =
        identity.chapters.empty()
            ? UniqueFd()
            : inheritedMemoryFile("chapters", chapterMetadata(identity.chapters));

    WatchedRun how;
    how.passFd = output.partialFd();
    // The run's output, or in a pipeline the encoding side's; and the decoding side's.
    PassedOutput encoding;
    PassedOutput decoding;
    const FfmpegLog* judgedLog = &encoding.log;
    // Where the source is known to have a picture, two runs side by side make the most of the
    // machine; otherwise one, with ffmpeg's own choices.
    const bool pipelined = !request.audioOnly && source.known && source.hasVideo;
    // ffmpeg writes the partial file through its descriptor, never through a name.
    const auto runFfmpeg = [&](const BurnIn& burn) {
        MapOptions options = mapOptionsFor(request, source, burn);
        options.tags = identity.tags;
        options.replaceChapters = identity.replaceChapters;
        if (chapters.isValid())
            options.chaptersFile = "/proc/self/fd/" + std::to_string(chapters.get());
        std::vector<std::string> ffmpegArgs = mapArguments(request, options);
        ffmpegArgs.back() = fileUrl("/proc/self/fd/" + std::to_string(output.partialFd()));
        encoding = PassedOutput(request.source, true);
        decoding = PassedOutput(request.source, false);
        judgedLog = &encoding.log;
        const bool burning = burn.kind != BurnIn::Kind::None;
        WatchedRun run = how;
        if (burning) {
            run.started = [&](pid_t pid) { budget.started(pid); };
            run.overBudget = [&] { return budget.exceeded(); };
        }
        // Each side's output goes on in whole lines, so the two never cut into each other.
        const auto passOn = [&](PassedOutput& from, std::string_view piece) {
            const std::string passed = from.feed(piece);
            if (burning && &from == &encoding)
                budget.progress(passed);
            return writeAll(STDOUT_FILENO, passed);
        };
        RunResult end;
        const PipelineArguments stages =
            pipelined ? pipelineArguments(ffmpegArgs, pictureColours(source)) : PipelineArguments();
        if (stages.encode.empty()) {
            end = runWatched(
                ffmpeg, ffmpegArgs, watch,
                [&](std::string_view piece) { return passOn(encoding, piece); }, run);
        } else {
            const std::vector<RunResult> ends = runWatchedPipeline(
                ffmpeg, {stages.decode, stages.encode}, watch,
                {[&](std::string_view piece) { return passOn(decoding, piece); },
                 [&](std::string_view piece) { return passOn(encoding, piece); }},
                run);
            if (!writeAll(STDOUT_FILENO, decoding.finish()))
                watch.readerGone();
            const size_t deciding = decidingStage(ends, decoding.log);
            end = ends[deciding];
            judgedLog = deciding == 0 ? &decoding.log : &encoding.log;
            for (const RunResult& stage : ends)
                end.abandoned = end.abandoned || stage.abandoned;
        }
        if (!writeAll(STDOUT_FILENO, encoding.finish()))
            watch.readerGone();
        return end;
    };
    RunResult end = runFfmpeg(subtitles.burn);
    // Subtitles that cannot be read, or that cost far more to draw than the film itself, must
    // not cost the film: once more without them.
    const bool overBudget = end.stopped && !watch.stopping();
    if (subtitles.burn.kind != BurnIn::Kind::None && end.startError == 0 && !watch.stopping() &&
        ((end.exitSignal == 0 && end.exitCode != 0) || overBudget)) {
        reportNotice(NoticeKind::SubtitlesLeftOut,
                     overBudget ? budget.why() : judgedLog->lastError());
        end = runFfmpeg({});
    }
    return judgeRun(ffmpeg, request, source, sourceBefore, output, watch, end, *judgedLog);
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
