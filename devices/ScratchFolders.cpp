#include "devices/ScratchFolders.h"

#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace tovilo {

namespace {

const QString Mark = QStringLiteral(".tovilo-scratch");

// The private parent, made when missing; empty when it is not safe.
QString scratchParent()
{
    const QByteArray cache = userCacheFolder();
    if (cache.isEmpty())
        return {};
    const QByteArray parent = cache + "/tovilo/scratch";
    if (!openPrivateFolder(cache + "/tovilo").isValid() || !openPrivateFolder(parent).isValid())
        return {};
    return QFile::decodeName(parent);
}

} // namespace

std::unique_ptr<QTemporaryDir> makeScratchFolder()
{
    const QString parent = scratchParent();
    if (parent.isEmpty())
        return nullptr;
    auto folder = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/Tovilo-XXXXXX"));
    QFile mark(folder->filePath(Mark));
    if (!folder->isValid() || !mark.open(QIODevice::WriteOnly))
        return nullptr;
    return folder;
}

void removeStaleScratchFolders()
{
    const QString parent = scratchParent();
    if (parent.isEmpty())
        return;
    static const QRegularExpression name(QStringLiteral("^Tovilo-[A-Za-z0-9]{6}$"));
    const QDir folder(parent);
    for (const QString& entry :
         folder.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System)) {
        if (!name.match(entry).hasMatch())
            continue;
        const QByteArray path = QFile::encodeName(folder.filePath(entry));
        const std::optional<FileFacts> facts = pathFacts(path, Links::Keep);
        const std::optional<FileFacts> mark =
            pathFacts(path + '/' + QFile::encodeName(Mark), Links::Keep);
        if (!facts || facts->kind != FileFacts::Kind::Folder || !mark ||
            mark->kind != FileFacts::Kind::File)
            continue;
        // Links inside are removed, never followed.
        QDir(folder.filePath(entry)).removeRecursively();
    }
}

} // namespace tovilo
