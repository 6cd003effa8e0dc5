#include "encoder/run/Report.h"

#include "encoder/run/FfmpegLog.h"
#include "oscore/Fd.h"

#include <string>
#include <unistd.h>

namespace tovilo {

void reportFailure(FailureKind kind, std::string_view detail)
{
    writeAll(STDERR_FILENO, failureLine(kind, detail));
}

void note(std::string_view text)
{
    std::string line = "lib/ffmpeg: note: ";
    for (char c : text)
        line += c == '\n' || c == '\r' ? ' ' : c;
    writeAll(STDERR_FILENO, line + "\n");
}

} // namespace tovilo
