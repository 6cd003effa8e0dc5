#pragma once

#include "engine/QueueStore.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class ThConvertInfoObjectList;

namespace tovilo {

// Keeps the queue on disk as it changes: follows the job list's announcements of the rows
// concerned and hands just those to the store, a burst of changes at once from the event loop.
class QueueKeeper : public QObject
{
    Q_OBJECT

public:
    explicit QueueKeeper(ThConvertInfoObjectList& jobs, QObject* parent = nullptr);
    ~QueueKeeper() override; // what is pending is saved first

    // Keeps the queue in the data folder from now on, after putting back what was kept there.
    QueueStore::Restored keepIn(const QByteArray& dataFolder);
    // Saves what changed, now: the program may end before the event loop runs again.
    void saveNow();
    bool isKeeping() const { return m_store != nullptr; }

    // How long a failed save waits before the whole queue is written again.
    static constexpr int RetryMs = 5000;

signals:
    // The queue could not be written (errno), or is written again after that (0).
    void savingFailed(int error);

private:
    void saveFailed(int error);
    void rowChanged(int row);
    void rowsMoved();
    void saveLater();

    ThConvertInfoObjectList& m_jobs;
    std::unique_ptr<QueueStore> m_store;
    QueueStore::Changes m_changes;
    std::vector<char> m_marked; // by row: already in m_changes.rows
    bool m_savePending = false;
    QTimer m_retry;
    int m_failure = 0;
};

} // namespace tovilo
