#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tovilo {

// lib/ffmpeg writes a conversion under a name of its own in the output's folder and renames it
// to the output's name only once it is complete and on disk, so a file under the output's name
// is never a partial one. The name is made from the inode of the file held at the output's name
// (the empty file the program reserved), which the program keeps while the job runs: after a
// crash it finds the partial file by this name alone, never by a number that a finished or
// unrelated file may carry.
inline std::string partialOutputName(std::uint64_t reservedInode)
{
    char name[48];
    std::snprintf(name, sizeof name, ".tovilo-%llx.part",
                  static_cast<unsigned long long>(reservedInode));
    return name;
}

} // namespace tovilo
