#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>

class QSocketNotifier;

namespace tovilo {

// What the kernel tells of a folder tree (inotify): files whose writer closed them or that
// were moved in, folders made or moved in (watched too from then on), and the tree's own end.
// A file system that tells nothing (a network share) is reported by isToldOf, so the owner
// looks for itself instead.
class FolderEvents : public QObject
{
    Q_OBJECT

public:
    explicit FolderEvents(QObject* parent = nullptr);
    ~FolderEvents() override;

    // Watches `root` and every folder under it (not through links). False when the root
    // cannot be watched at all.
    bool watch(const QByteArray& root);
    void clear();

    // Whether changes made on the machine that holds `path` reach this one's kernel: not on
    // NFS, SMB/CIFS, FUSE and similar mounts.
    static bool isToldOf(const QByteArray& path);

signals:
    void fileWritten(const QByteArray& path); // closed after writing, or moved in
    void folderAdded(const QByteArray& path); // made or moved in: its contents are new too
    void rootGone();                          // removed, moved away or unmounted
    void overflowed();                        // events were lost: look at everything again

private:
    void addTree(const QByteArray& folder, int depth);
    void readEvents();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    int m_rootWatch = -1;
    QHash<int, QByteArray> m_folders; // by watch descriptor
};

} // namespace tovilo
