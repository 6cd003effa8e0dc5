#pragma once

#include "encoder/run/FfmpegLog.h"
#include "oscore/FileInfo.h"
#include "protocol/WrapperCommand.h"
#include "protocol/WrapperFailure.h"

#include <optional>
#include <string>

namespace tovilo {

// The source's size and time of change when the run begins: a source still being written (a
// recording) or cut meanwhile would give a short file that looks complete.
class SourceSnapshot
{
public:
    explicit SourceSnapshot(const std::string& path);
    bool changed() const;

private:
    std::string m_path;
    std::optional<FileInfo> m_before; // not a regular file, or not there
};

// Why a run that ffmpeg finished did not give a good file. The wrapper looks at the input and
// the output folder itself: that is surer than reading ffmpeg's messages.
Failure diagnose(const WrapperRequest& request, const FfmpegLog& log, int exitCode,
                 const std::string& checkProblem);

} // namespace tovilo
