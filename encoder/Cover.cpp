#include "encoder/Cover.h"

#include "encoder/output/CoverArt.h"
#include "encoder/plan/WrapperArgs.h"
#include "encoder/run/WatchedRun.h"

#include <algorithm>
#include <string_view>

namespace tovilo {

namespace {

// One frame of a small file is read in well under this.
constexpr int kFrameSeconds = 20;
// A JPEG of an iPod-sized frame is some tens of kilobytes.
constexpr size_t kMaxPicture = 4u << 20;

} // namespace

bool addCover(const std::string& ffmpeg, int fd, Watch& watch)
{
    const double duration = mp4Duration(fd);
    if (duration <= 0)
        return false;
    std::string picture;
    WatchedRun how;
    how.timeLimit = kFrameSeconds;
    how.passFd = fd;
    // Quiet: the picture comes on the output that would carry ffmpeg's words.
    const RunResult end = runWatched(
        ffmpeg,
        {"-hide_banner", "-nostdin", "-v", "quiet", "-ss", std::to_string(duration / 10), "-i",
         fileUrl("/proc/self/fd/" + std::to_string(fd)), "-map", "0:V:0", "-frames:v", "1", "-c:v",
         "mjpeg", "-f", "image2pipe", "pipe:1"},
        watch,
        [&](std::string_view piece) {
            picture.append(piece.substr(0, kMaxPicture - std::min(picture.size(), kMaxPicture)));
            return true;
        },
        how);
    const bool jpeg = picture.size() > 4 && picture.starts_with("\xFF\xD8") &&
                      picture.ends_with("\xFF\xD9") && picture.size() < kMaxPicture;
    if (end.startError != 0 || end.timedOut || end.stopped || end.exitCode != 0 || !jpeg)
        return false;
    return addCoverPicture(fd, picture);
}

} // namespace tovilo
