#include "engine/FolderWalk.h"

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "queue/VideoFormats.h"

#include <QSet>

#include <algorithm>
#include <thread>
#include <unistd.h>

namespace tovilo {

namespace {

// The value of a digit, ASCII or full-width; -1 for anything else.
int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'\uFF10' && u <= u'\uFF19')
        return u - u'\uFF10';
    return -1;
}

QByteArray withoutTrailingSlash(QByteArray path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

using FileKey = QPair<quint64, quint64>; // device, inode

FileKey keyOf(const FileFacts& facts)
{
    return {static_cast<quint64>(facts.device), static_cast<quint64>(facts.inode)};
}

class Walk
{
public:
    Walk(const WalkRequest& request, const std::atomic<bool>& abandon)
        : m_abandon(abandon), m_me(::geteuid())
    {
        for (const QByteArray& path : request.listed) {
            if (const std::optional<FileFacts> facts = pathFacts(path))
                m_listed.insert(keyOf(*facts));
        }
        if (const std::optional<FileFacts> output = pathFacts(request.outputFolder))
            m_output = keyOf(*output);
    }

    void take(const QList<QByteArray>& paths)
    {
        // In the order given. A file named directly is taken by its name alone, as the open
        // dialog's choice is: if it cannot be read, its conversion says why.
        for (const QByteArray& path : paths) {
            const std::optional<FileFacts> facts = pathFacts(path);
            if (facts && facts->kind == FileFacts::Kind::Folder) {
                ++result.foldersGiven;
                enter(withoutTrailingSlash(path));
            } else if (isVideoFileName(path)) {
                result.videos << path;
            } else {
                ++result.unsupported;
            }
        }
    }

    FolderWalk result;

private:
    void file(const QByteArray& path, const FileFacts& facts)
    {
        if (facts.kind != FileFacts::Kind::File)
            return;
        if (!isVideoFileName(path)) {
            ++result.unsupported;
            return;
        }
        const FileKey key = keyOf(facts);
        if (m_listed.contains(key)) {
            ++result.alreadyListed;
            return;
        }
        m_listed.insert(key); // a second way to the same file adds it once
        result.videos << path;
    }

    void enter(const QByteArray& folder)
    {
        if (m_abandon.load()) {
            result.abandoned = true;
            return;
        }
        const std::optional<FileFacts> facts = pathFacts(folder);
        if (!facts || keyOf(*facts) == m_output || m_entered.contains(keyOf(*facts)))
            return;
        m_entered.insert(keyOf(*facts)); // a link back up is a loop
        std::optional<QList<QByteArray>> names = folderEntries(folder);
        if (!names) {
            ++result.unreadableFolders;
            return;
        }
        std::sort(names->begin(), names->end(), [](const QByteArray& a, const QByteArray& b) {
            return naturalLess(toUtf16(a), toUtf16(b));
        });
        QList<QByteArray> folders;
        for (const QByteArray& name : *names) {
            if (isHiddenOrPartial(name))
                continue;
            const QByteArray path = (folder == "/" ? QByteArray() : folder) + '/' + name;
            const std::optional<FileFacts> linked = pathFacts(path, Links::Keep);
            const std::optional<FileFacts> target = pathFacts(path);
            if (!linked || !target)
                continue; // gone meanwhile, or a link to nothing
            if (target->kind != FileFacts::Kind::Folder) {
                file(path, *target);
                continue;
            }
            // A link may lead anywhere: not into a folder of someone else's closed to others.
            if (linked->kind == FileFacts::Kind::Link && target->owner != m_me &&
                !target->othersMayRead)
                continue;
            folders << path;
        }
        for (const QByteArray& path : folders)
            enter(path);
    }

    const std::atomic<bool>& m_abandon;
    const uid_t m_me;
    QSet<FileKey> m_listed;
    QSet<FileKey> m_entered;
    FileKey m_output{~0ULL, ~0ULL};
};

} // namespace

bool naturalLess(const QString& a, const QString& b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (digitValue(a[i]) >= 0 && digitValue(b[j]) >= 0) {
            // Leading zeros do not count; then the longer number is the larger.
            while (i < a.size() && digitValue(a[i]) == 0)
                ++i;
            while (j < b.size() && digitValue(b[j]) == 0)
                ++j;
            qsizetype endA = i;
            qsizetype endB = j;
            while (endA < a.size() && digitValue(a[endA]) >= 0)
                ++endA;
            while (endB < b.size() && digitValue(b[endB]) >= 0)
                ++endB;
            if (endA - i != endB - j)
                return endA - i < endB - j;
            for (; i < endA; ++i, ++j) {
                if (digitValue(a[i]) != digitValue(b[j]))
                    return digitValue(a[i]) < digitValue(b[j]);
            }
            continue;
        }
        const QChar x = a[i].toCaseFolded();
        const QChar y = b[j].toCaseFolded();
        if (x != y)
            return x < y;
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b; // equal but for case or zeros: still one order
}

bool isHiddenOrPartial(const QByteArray& name)
{
    static const QList<QByteArray> partial = {".PART", ".CRDOWNLOAD", ".!QB", ".TMP", ".DOWNLOAD"};
    return name.startsWith('.') || partial.contains(extractFileExt(name).toUpper());
}

FolderWalk walkFolders(const WalkRequest& request, const std::atomic<bool>& abandon)
{
    Walk walk(request, abandon);
    walk.take(request.paths);
    return walk.result;
}

struct FolderWalker::Shared
{
    std::atomic<bool> abandon{false};
    std::mutex lock;
    FolderWalker* owner = nullptr; // cleared when the walk is abandoned
};

FolderWalker::FolderWalker(QObject* parent) : QObject(parent) {}

FolderWalker::~FolderWalker()
{
    abandon();
}

void FolderWalker::abandon()
{
    if (!m_current)
        return;
    m_current->abandon = true;
    std::lock_guard lock(m_current->lock);
    m_current->owner = nullptr;
    m_current.reset();
}

void FolderWalker::start(WalkRequest request)
{
    abandon();
    auto shared = std::make_shared<Shared>();
    shared->owner = this;
    m_current = shared;
    std::thread([shared, request = std::move(request)] {
        FolderWalk result = walkFolders(request, shared->abandon);
        std::lock_guard lock(shared->lock);
        if (FolderWalker* owner = shared->owner) {
            // Posted while the owner is known to live; the event dies with it.
            QMetaObject::invokeMethod(
                owner,
                [owner, shared, result = std::move(result)] {
                    if (owner->m_current != shared)
                        return;
                    owner->m_current.reset();
                    emit owner->walked(result);
                },
                Qt::QueuedConnection);
        }
    }).detach();
}

} // namespace tovilo
