#pragma once

#include <QByteArray>
#include <QString>

namespace tovilo {

// The encoder wrapper ends every failed run with one line
// "lib/ffmpeg: error: <kind>: <detail>" (<kind> such as disk-full or input-invalid).
extern const QByteArray EncoderErrorPrefix;

// True when the output line is such a line.
bool isEncoderErrorLine(const QByteArray& line);

// A run that succeeded may say what of its result is not as asked (subtitles left out) in a line
// "lib/ffmpeg: notice: <kind>: <detail>".
extern const QByteArray EncoderNoticePrefix;
bool isEncoderNoticeLine(const QByteArray& line);

// The same kind of line for a run whose encoder could not be started at all.
QByteArray encoderNotStartedLine();

// The same kind of line for a job whose output name could not be claimed (errno `error`).
QByteArray outputNotClaimedLine(int error);

} // namespace tovilo
