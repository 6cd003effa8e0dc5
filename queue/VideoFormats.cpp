#include "queue/VideoFormats.h"

#include "platform/PathText.h"

namespace tovilo {

const QList<QByteArray> videoExtensions = {
    ".AVI", ".FLV", ".MPG", ".MPEG", ".3GP", ".VOB", ".MP4", ".M4V", ".MOV", ".MKV",  ".WEBM",
    ".WMV", ".ASF", ".TS",  ".M2TS", ".MTS", ".MOD", ".OGV", ".DV",  ".RM",  ".RMVB",
};

bool isVideoFileName(const QByteArray& name)
{
    return !name.isEmpty() && videoExtensions.contains(extractFileExt(name).toUpper());
}

} // namespace tovilo
