#pragma once

#include <string_view>

// The cover picture of a finished MP4, in its item list (moov/udta/meta/ilst/covr), where
// iTunes, iPods and other players look for it.
namespace tovilo {

// The length of the MP4 open at fd from its movie header, in seconds; -1 when unreadable.
double mp4Duration(int fd);

// Makes the JPEG `picture` the cover of the MP4 open at fd (read and written with pread and
// pwrite). The new index is written after the media and synced before the old one becomes free
// space, so the file is whole at every step; false when it cannot be changed, and then it is as
// it was.
bool addCoverPicture(int fd, std::string_view picture);

} // namespace tovilo
