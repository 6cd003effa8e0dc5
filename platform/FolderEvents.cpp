#include "platform/FolderEvents.h"

#include "platform/FileSystem.h"

#include <QSocketNotifier>

#include <cerrno>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace tovilo {

namespace {

constexpr uint32_t FolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// Deeper than any real tree; a bound against a crafted one.
constexpr int MaxDepth = 64;

} // namespace

FolderEvents::FolderEvents(QObject* parent) : QObject(parent) {}

FolderEvents::~FolderEvents()
{
    clear();
}

void FolderEvents::clear()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_rootWatch = -1;
    m_folders.clear();
}

bool FolderEvents::watch(const QByteArray& root)
{
    clear();
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return false;
    m_rootWatch = ::inotify_add_watch(m_fd, root.constData(), FolderMask | IN_UNMOUNT);
    if (m_rootWatch < 0) {
        clear();
        return false;
    }
    m_folders.insert(m_rootWatch, root);
    addTree(root, 0);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &FolderEvents::readEvents);
    return true;
}

void FolderEvents::addTree(const QByteArray& folder, int depth)
{
    if (depth > MaxDepth)
        return;
    const std::optional<QList<QByteArray>> names = folderEntries(folder);
    if (!names)
        return;
    for (const QByteArray& name : *names) {
        const QByteArray path = folder + '/' + name;
        const std::optional<FileFacts> facts = pathFacts(path, Links::Keep);
        if (!facts || facts->kind != FileFacts::Kind::Folder)
            continue;
        const int watch = ::inotify_add_watch(m_fd, path.constData(), FolderMask);
        if (watch < 0 || m_folders.contains(watch))
            continue; // out of watches, or seen already
        m_folders.insert(watch, path);
        addTree(path, depth + 1);
    }
}

void FolderEvents::readEvents()
{
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length <= 0)
            return; // EAGAIN: all read
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                emit overflowed();
                continue;
            }
            if (event->mask & IN_IGNORED) {
                m_folders.remove(event->wd);
                continue;
            }
            if (event->wd == m_rootWatch &&
                (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
                emit rootGone();
                return; // the watches are of no more use; the owner starts again
            }
            const QByteArray folder = m_folders.value(event->wd);
            if (folder.isEmpty() || event->len == 0)
                continue;
            const QByteArray path = folder + '/' + QByteArray(event->name);
            if (event->mask & IN_ISDIR) {
                if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    const int watch = ::inotify_add_watch(m_fd, path.constData(), FolderMask);
                    if (watch >= 0) {
                        m_folders.insert(watch, path);
                        addTree(path, 1);
                    }
                    emit folderAdded(path);
                }
            } else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                emit fileWritten(path);
            }
        }
    }
}

bool FolderEvents::isToldOf(const QByteArray& path)
{
    struct statfs info
    {
    };
    if (::statfs(path.constData(), &info) != 0)
        return true;
    switch (static_cast<unsigned long>(info.f_type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case V9FS_MAGIC:
    case CODA_SUPER_MAGIC:
    case AFS_SUPER_MAGIC:
        return false;
    default:
        return true;
    }
}

} // namespace tovilo
