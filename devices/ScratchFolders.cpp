#include "devices/ScratchFolders.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace tovilo {

namespace {
const QString Prefix = QStringLiteral("Tovilo-");
const QString Random = QStringLiteral("XXXXXX");
} // namespace

QString scratchFolderTemplate()
{
    return QDir::tempPath() + QLatin1Char('/') + Prefix + Random;
}

void removeStaleScratchFolders()
{
    const QDir temp(QDir::tempPath());
    const QStringList names = temp.entryList({Prefix + QStringLiteral("??????")},
                                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString path = temp.filePath(name);
        struct stat info;
        // Only real folders of ours: not a link, nor another user's.
        if (lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != geteuid())
            continue;
        QDir(path).removeRecursively();
    }
}

} // namespace tovilo
