#pragma once

#include "protocol/WrapperFailure.h"

#include <string_view>

// The wrapper's own lines on its standard error, among ffmpeg's.
namespace tovilo {

// The one failure line a failed run ends with.
void reportFailure(FailureKind kind, std::string_view detail);

// The line that tells the user, with the converted file, what was not as asked.
void reportNotice(NoticeKind kind, std::string_view detail);

// A line for the log that fails nothing.
void note(std::string_view text);

} // namespace tovilo
