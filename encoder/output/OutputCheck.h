#pragma once

#include <string>

namespace tovilo {

// Checks a finished output file before the wrapper reports success: an MP4 whose box structure
// covers the file, with a complete index (moov) holding a video track whose samples lie in the
// file; an MP3 that is an unbroken chain of MPEG audio frames to its end. ffmpeg can exit 0 with
// a file cut short (a disk that filled while the index was written), so its exit code alone is
// not enough. Without needsVideo, an MP4 holding only sound (from a source without a picture) is
// good too. Returns an empty string for a good file, otherwise why it is not.
std::string checkOutputFile(const std::string& path, bool audioOnly, bool needsVideo = true);
// The same on an open file (read with pread, so its offset does not matter).
std::string checkOutputFile(int fd, bool audioOnly, bool needsVideo = true);

// Sets the display matrix of every track of a checked MP4 to "upright" (the identity), for a
// picture that was turned while it was encoded. False when the file cannot be changed.
bool clearDisplayMatrix(int fd);

} // namespace tovilo
