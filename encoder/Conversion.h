#pragma once

// lib/ffmpeg: takes the program's older encoder dialect, runs the system ffmpeg with the
// equivalent current arguments and passes its output on with progress times in seconds. It
// reports success only for a complete output file, ends every failure with one line naming
// the reason, and never leaves ffmpeg running once the program that started it is gone.

#include "protocol/WrapperCommand.h"

#include <string>
#include <vector>

namespace tovilo {

// The whole run for the wrapper's arguments; returns its exit code.
int runWrapper(const std::vector<std::string>& args);

// ffmpeg: the program found on PATH, empty for none.
int convert(const std::string& ffmpeg, const WrapperRequest& request);

// The first executable "ffmpeg" on PATH that is not this wrapper: a PATH that holds our own lib/
// folder must not make us run ourselves.
std::string findFfmpeg();

} // namespace tovilo
