#include "ui/VideoFormats.h"

#include "engine/UserTexts.h"
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

QString videoNameFilter()
{
    // Qt's patterns are case-sensitive on Linux; users of the original platform expect
    // CLIP.AVI and clip.avi alike.
    QStringList patterns;
    for (const QByteArray& extension : videoExtensions) {
        QString pattern = QStringLiteral("*.");
        for (const char c : extension.mid(1)) {
            const QChar upper = QLatin1Char(c);
            const QChar lower = upper.toLower();
            pattern += upper == lower ? QString(upper) : QStringLiteral("[%1%2]").arg(lower, upper);
        }
        patterns << pattern;
    }
    return videoFilesFilterText(patterns);
}

} // namespace tovilo
