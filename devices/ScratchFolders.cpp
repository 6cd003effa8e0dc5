#include "devices/ScratchFolders.h"

#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>

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
        // Only real folders of ours: not a link, nor another user's.
        const std::optional<FileFacts> facts = pathFacts(QFile::encodeName(path), Links::Keep);
        if (!facts || facts->kind != FileFacts::Kind::Folder || facts->owner != geteuid())
            continue;
        QDir(path).removeRecursively();
    }
}

} // namespace tovilo
