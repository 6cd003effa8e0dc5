#include "queue/EncoderFailure.h"

#include "protocol/WrapperFailure.h"

#include <cerrno>

namespace tovilo {

const QByteArray EncoderErrorPrefix(wrapperErrorPrefix.data(),
                                    qsizetype(wrapperErrorPrefix.size()));
const QByteArray EncoderNoticePrefix(wrapperNoticePrefix.data(),
                                     qsizetype(wrapperNoticePrefix.size()));

namespace {

QByteArray errorLine(FailureKind kind, const QByteArray& detail)
{
    const std::string_view name = failureKindName(kind);
    return EncoderErrorPrefix + ' ' + QByteArray(name.data(), qsizetype(name.size())) + ": " +
           detail;
}

} // namespace

bool isEncoderErrorLine(const QByteArray& line)
{
    return line.startsWith(EncoderErrorPrefix);
}

bool isEncoderNoticeLine(const QByteArray& line)
{
    return line.startsWith(EncoderNoticePrefix);
}

QByteArray encoderNotStartedLine()
{
    return errorLine(FailureKind::EncoderMissing, "lib/ffmpeg could not be started");
}

QByteArray outputNotClaimedLine(int error)
{
    const FailureKind kind = error == ENOENT || error == ENOTDIR  ? FailureKind::OutputFolder
                             : error == ENOSPC || error == EDQUOT ? FailureKind::DiskFull
                                                                  : FailureKind::OutputUnwritable;
    return errorLine(kind, qt_error_string(error).toUtf8());
}

} // namespace tovilo
