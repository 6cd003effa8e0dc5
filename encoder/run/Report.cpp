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

namespace {

void writeLine(std::string line, std::string_view text)
{
    for (char c : text)
        line += c == '\n' || c == '\r' ? ' ' : c;
    writeAll(STDERR_FILENO, line + "\n");
}

} // namespace

void reportNotice(NoticeKind kind, std::string_view detail)
{
    writeLine(std::string(wrapperNoticePrefix) + " " + std::string(noticeKindName(kind)) + ": ",
              detail);
}

void note(std::string_view text)
{
    writeLine("lib/ffmpeg: note: ", text);
}

} // namespace tovilo
