#pragma once

#include "engine/FolderWalk.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>

class ThConvertInfoObjectList;

namespace tovilo {

class FolderEvents;
class LatestFileWriter;

// A folder whose new videos go into the queue by themselves. A video counts once it is
// complete: its size and modification time have stood still for the settle time since its
// writer closed it or it was found. What was there when the folder was first watched is left
// alone; every file taken, and every output the program writes, is remembered (in
// "watched.json" in the data folder) so that nothing is taken twice, across restarts too. A
// file replaced by another of the same name is new.
class WatchFolder : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        int settleMs = 10000;
        int rescanMs = 30000; // where the kernel does not tell of changes, and while missing
    };

    // dataFolder: where what was taken is remembered; empty keeps it in memory only.
    WatchFolder(ThConvertInfoObjectList& jobs, QByteArray dataFolder, QObject* parent = nullptr);
    void setTiming(Timing timing);
    ~WatchFolder() override;

    // Watches `folder` with its sub-folders (empty: none). Files in `outputFolder` are never
    // taken.
    void watch(QByteArray folder, QByteArray outputFolder);
    bool isWatching() const { return !m_folder.isEmpty(); }
    // Returns once what is remembered is on disk.
    void flush();

signals:
    // Complete new videos, in natural order.
    void videosReady(const QList<QByteArray>& paths);
    // The folder was watched for the first time: the videos already there are left alone.
    void baselineTaken(int videos);
    void missingChanged(bool missing);

private:
    struct Known
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        bool output = false; // one of the program's own: never taken

        bool operator==(const Known&) const = default;
    };
    struct Candidate
    {
        Known seen;
        qint64 stillSinceMs = 0;
    };

    void start();
    void rescan();
    void walked(const FolderWalk& result);
    void consider(const QByteArray& path);
    void tick();
    void rootGone();
    bool isOurs(const QByteArray& path) const;
    static std::optional<Known> knownOf(const QByteArray& path);
    void load();
    void save();

    ThConvertInfoObjectList& m_jobs;
    Timing m_timing;
    std::unique_ptr<LatestFileWriter> m_writer;
    QByteArray m_storePath;
    QByteArray m_folder;
    QByteArray m_outputFolder;
    QByteArray m_storedFolder; // the folder what is remembered belongs to
    bool m_baselinePending = false;
    bool m_missing = false;
    QHash<QByteArray, Known> m_known;
    QHash<QByteArray, Candidate> m_candidates;
    FolderEvents* m_events = nullptr;
    FolderWalker m_walker;
    QTimer m_settle;
    QTimer m_rescan;
    QElapsedTimer m_clock;
};

} // namespace tovilo
