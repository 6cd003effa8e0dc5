#include "encoder/Diagnosis.h"

#include "encoder/plan/WrapperArgs.h"
#include "oscore/Fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tovilo {

SourceSnapshot::SourceSnapshot(const std::string& path) : m_path(path)
{
    m_before = fileInfo(m_path.c_str());
    if (m_before && !m_before->isRegular())
        m_before.reset();
}

bool SourceSnapshot::changed() const
{
    if (!m_before)
        return false;
    const std::optional<FileInfo> now = fileInfo(m_path.c_str());
    if (!now)
        return false; // gone: the diagnosis names that
    return !now->unchangedSince(*m_before);
}

namespace {

// ffmpeg names the file in front of its message ("file:<path>: ..."); the program knows which.
std::string withoutFileName(const std::string& line, const WrapperRequest& request)
{
    for (const std::string* path : {&request.source, &request.output}) {
        const std::string prefix = fileUrl(*path) + ": ";
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    }
    return line;
}

} // namespace

Failure diagnose(const WrapperRequest& request, const FfmpegLog& log, int exitCode,
                 const std::string& checkProblem)
{
    if (log.noSpace())
        return {FailureKind::DiskFull, log.noSpaceText()};

    const std::optional<FileInfo> input = fileInfo(request.source.c_str());
    if (!input) {
        const int error = errno;
        return {error == ENOENT || error == ENOTDIR ? FailureKind::InputMissing
                                                    : FailureKind::InputUnreadable,
                std::strerror(error)};
    }
    if (input->isDirectory())
        return {FailureKind::InputUnreadable, std::strerror(EISDIR)};
    if (!openFile(request.source.c_str(), O_RDONLY | O_NONBLOCK).isValid())
        return {FailureKind::InputUnreadable, std::strerror(errno)};

    const std::string folder = folderOf(request.output);
    const std::optional<FileInfo> folderInfo = fileInfo(folder.c_str());
    if (!folderInfo || !folderInfo->isDirectory())
        return {FailureKind::OutputFolder, "the output folder does not exist"};
    if (const std::optional<FileInfo> existing = linkInfo(request.output.c_str())) {
        if (existing->isDirectory())
            return {FailureKind::OutputUnwritable, std::strerror(EISDIR)};
        if (::access(request.output.c_str(), W_OK) != 0)
            return {FailureKind::OutputUnwritable, std::strerror(errno)};
    } else if (::access(folder.c_str(), W_OK) != 0) {
        return {FailureKind::OutputUnwritable, std::strerror(errno)};
    }

    if (exitCode == 0 && log.inputFailed())
        return {FailureKind::InputIncomplete, withoutFileName(log.inputError(), request)};
    if (log.invalidInput())
        return {FailureKind::InputInvalid, "Invalid data found when processing input"};
    if (request.audioOnly && log.noStream())
        return {FailureKind::NoAudio, "the source has no audio track"};
    if (log.writeFailed())
        return {FailureKind::IncompleteOutput, withoutFileName(log.writeError(), request)};
    if (exitCode == 0)
        return {FailureKind::IncompleteOutput, checkProblem};
    if (!log.lastError().empty())
        return {FailureKind::Other, withoutFileName(log.lastError(), request)};
    return {FailureKind::Other, "ffmpeg exited with code " + std::to_string(exitCode)};
}

} // namespace tovilo
