#pragma once

#include <string>

namespace tovilo {

class Watch;

// Gives the finished MP4 open at fd the frame from a tenth into it as its cover picture: the
// frame the hand-over shows on an iPod's video menu. False when none could be taken or put in;
// the file is whole either way.
bool addCover(const std::string& ffmpeg, int fd, Watch& watch);

} // namespace tovilo
