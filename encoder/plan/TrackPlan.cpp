#include "encoder/plan/TrackPlan.h"

#include "encoder/plan/SubtitleScript.h"
#include "encoder/plan/SubtitleText.h"
#include "encoder/plan/TrackChoice.h"
#include "encoder/run/BurnInBudget.h"
#include "oscore/FileInfo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tovilo {

namespace {

// Far larger than any subtitle file; a larger one is not one.
constexpr off_t kMaxSideFile = 32 << 20;

bool isFile(const std::string& path)
{
    const std::optional<FileInfo> info = fileInfo(path.c_str());
    return info && info->isRegular();
}

// The wrapper is single-threaded and starts ffmpeg next: the descriptor reaches it alone.
bool passedOn(int fd)
{
    return ::fcntl(fd, F_SETFD, 0) == 0;
}

std::string procName(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// The side file's text, as UTF-8, in a memory file ffmpeg inherits.
bool loadSideFile(const std::string& path, SubtitleSource& subtitles)
{
    const UniqueFd file = openFile(path.c_str(), O_RDONLY | O_NONBLOCK);
    const std::optional<FileInfo> info =
        file.isValid() ? openFileInfo(file.get()) : std::optional<FileInfo>();
    if (!info || !info->isRegular()) {
        subtitles.note = path + ": " + std::strerror(errno);
        return false;
    }
    if (info->size > kMaxSideFile) {
        subtitles.note = path + ": too large for a subtitle file";
        return false;
    }
    std::string bytes(static_cast<size_t>(info->size), '\0');
    if (!bytes.empty() && !readFullyAt(file.get(), bytes.data(), bytes.size(), 0)) {
        subtitles.note = path + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    std::optional<SubtitleText> text = subtitleTextAsUtf8(bytes, why);
    if (!text) {
        subtitles.note = path + ": " + why;
        return false;
    }
    if (text->damagedLines > 0)
        subtitles.repairs.push_back(std::to_string(text->damagedLines) +
                                    " lines with bytes of no known encoding, kept without them");
    // A script is drawn as authored, as a track of the film would be; plain text gets our style.
    subtitles.burn.ownStyles = isAssScript(text->utf8);
    if (subtitles.burn.ownStyles) {
        ScriptBounds bounds;
        text->utf8 = boundedScript(text->utf8, bounds);
        if (bounds.clamped > 0)
            subtitles.repairs.push_back(std::to_string(bounds.clamped) +
                                        " sizes too large to draw, made smaller");
        if (bounds.dropped > 0)
            subtitles.repairs.push_back(std::to_string(bounds.dropped) + " events beyond " +
                                        std::to_string(kMaxSimultaneousEvents) +
                                        " at once, left out");
    }
    subtitles.fd.reset(::memfd_create("subtitles", MFD_CLOEXEC));
    if (!subtitles.fd.isValid() || !writeAll(subtitles.fd.get(), text->utf8) ||
        !passedOn(subtitles.fd.get())) {
        subtitles.note = std::string("cannot hold the subtitles: ") + std::strerror(errno);
        subtitles.fd.reset();
        return false;
    }
    subtitles.burn.kind = BurnIn::Kind::Text;
    subtitles.burn.file = procName(subtitles.fd.get());
    return true;
}

} // namespace

SubtitleSource prepareSubtitles(const WrapperRequest& request, const SourceInfo& source)
{
    SubtitleSource subtitles;
    if (!request.burnSubtitles || request.audioOnly || !source.hasVideo)
        return subtitles;
    const SubtitleChoice choice = chooseSubtitles(source.subtitleTracks, request.source, isFile);
    // The picture's times start at 0 with the first converted frame; a side file counts from
    // the source's start, a track in the source's own times.
    const double start = source.startTime > 0 ? source.startTime : 0;
    if (!choice.sideFile.empty()) {
        if (loadSideFile(choice.sideFile, subtitles))
            subtitles.burn.offset = source.skipTo;
        return subtitles;
    }
    if (choice.track < 0)
        return subtitles;
    const Track& track = source.subtitleTracks[static_cast<size_t>(choice.track)];
    if (subtitleKind(track.codec) == SubtitleKind::Picture) {
        subtitles.burn.kind = BurnIn::Kind::Picture;
        subtitles.burn.pictureStream = track.index;
        return subtitles;
    }
    subtitles.fd = openFile(request.source.c_str(), O_RDONLY | O_NONBLOCK);
    if (!subtitles.fd.isValid() || !passedOn(subtitles.fd.get())) {
        subtitles.note = std::string("cannot open the source: ") + std::strerror(errno);
        return subtitles;
    }
    subtitles.burn.kind = BurnIn::Kind::Text;
    subtitles.burn.file = procName(subtitles.fd.get());
    subtitles.burn.textTrack = choice.track;
    subtitles.burn.ownStyles = track.codec == "ass" || track.codec == "ssa";
    subtitles.burn.offset = start + source.skipTo;
    return subtitles;
}

std::optional<double> costWithoutSubtitles(const std::string& ffmpeg, const WrapperRequest& request,
                                           const SourceInfo& source, Watch& watch, double position)
{
    constexpr double kSampleSeconds = 3;
    MapOptions options = mapOptionsFor(request, source, {});
    options.start = std::to_string(source.skipTo + position);
    return sampleCost(ffmpeg, sampleArguments(mapArguments(request, options), kSampleSeconds),
                      watch);
}

MapOptions mapOptionsFor(const WrapperRequest& request, const SourceInfo& source,
                         const BurnIn& burn)
{
    MapOptions options;
    options.overwrite = true; // the file held for ffmpeg, which it replaces
    const bool burning = burn.kind != BurnIn::Kind::None;
    int sound = chooseSound(source.audioTracks, burning);
    if (sound < 0)
        sound = source.mapAudio;
    if (!request.audioOnly) {
        const FrameSize frame = frameSizeOf(request.quality, request.wide);
        options.videoFilter = pictureFilter(source, frame.width, frame.height, burn);
        options.filterGraph = burn.kind == BurnIn::Kind::Picture;
        options.noAutoRotate = source.hasVideo && source.video.oddRotation;
        if (source.hasVideo)
            options.sourcePixels = source.video.width * source.video.height;
        // Once one stream is named, ffmpeg takes only the named ones.
        if (sound < 0 && options.filterGraph && !source.audioTracks.empty())
            sound = source.audioTracks.front().index;
        const int video = source.mapVideo >= 0 ? source.mapVideo : source.video.index;
        if (!options.filterGraph && video >= 0 && (sound >= 0 || source.mapVideo >= 0))
            options.streams.push_back("0:" + std::to_string(video));
    }
    if (sound >= 0)
        options.streams.push_back("0:" + std::to_string(sound));
    if (source.skipTo > 0)
        options.start = std::to_string(source.skipTo);
    return options;
}

} // namespace tovilo
