#pragma once

#include "queue/ThConvertInfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tovilo {

// The queue as it is kept on disk: "queue.json" in the data folder, a versioned JSON document
// written whole with QSaveFile (write, sync, rename), and "queue.journal" beside it, one JSON
// line per job change since that document. A change appends one short line; the document is
// rewritten only when the journal has grown as long as the queue, so a change costs the same
// in a queue of 5,000 jobs as in one of 5. The files are written by a thread of the store's
// own; the window's thread only compares and hands over bytes.
class QueueStore
{
public:
    static constexpr int Version = 1;
    // Beyond these a kept queue is not ours or not sane: read as unreadable. A path longer
    // than the system takes could name no file; a reason is cut to a line's worth.
    static constexpr qsizetype MaxFileBytes = 256 * 1024 * 1024;
    static constexpr qsizetype MaxJobs = 200000;
    static constexpr qsizetype MaxPathBytes = 4096;
    static constexpr qsizetype MaxReasonBytes = 1024;

    struct Restored
    {
        int jobs = 0;        // jobs put back into the queue
        bool broken = false; // the file could not be read; it was moved aside
        int partialsRemoved = 0;
        QList<QByteArray> left; // what an interrupted run may have left, kept in doubt
    };

    explicit QueueStore(QByteArray dataFolder);
    ~QueueStore(); // writes what is pending first
    QueueStore(const QueueStore&) = delete;
    QueueStore& operator=(const QueueStore&) = delete;

    // Appends the kept queue to jobs: a job that was converting waits again and what its run
    // left is removed (lib/ffmpeg's partial file, and the reserved output while still empty and
    // the very file reserved); the others keep their status, output and reason. A file that cannot
    // be read is moved aside to "queue.json.broken". Call once, before the first save.
    Restored restore(ThConvertInfoObjectList& jobs);

    // What changed since the last save, as the queue announced it.
    struct Changes
    {
        bool whole = false;    // jobs were added or removed
        std::vector<int> rows; // jobs whose state changed, each once
    };
    // Writes the changes: one journal line per changed job, or the whole document when jobs
    // were added or removed (or before anything was written).
    void save(const ThConvertInfoObjectList& jobs, const Changes& changes);

    // Returns once everything handed to the writer is on disk (or failed).
    void flush();

    // Told, on the writer's thread, the errno of every write that failed (the changes since are
    // then held back until a whole save succeeds) and 0 for the first success after one.
    void setReport(std::function<void(int error)> report);

    QByteArray documentPath() const { return m_folder + "queue.json"; }
    QByteArray journalPath() const { return m_folder + "queue.journal"; }

    // The whole document for a queue: what one full save writes.
    static QByteArray document(const ThConvertInfoObjectList& jobs, quint64 sequence);

private:
    struct Task
    {
        bool whole = false; // the document; otherwise journal lines
        QByteArray bytes;
    };

    void writeDocument(const ThConvertInfoObjectList& jobs);
    void post(Task task);
    void writerLoop();
    void moveAside();

    const QByteArray m_folder;
    bool m_restored = false;
    bool m_onDisk = false;        // a document exists or has been handed to the writer
    quint64 m_sequence = 0;       // of the last line written
    qsizetype m_journalLines = 0; // since the document

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Task> m_tasks;
    bool m_busy = false;
    bool m_quit = false;
    std::function<void(int)> m_report;
    std::thread m_writer;
};

} // namespace tovilo
