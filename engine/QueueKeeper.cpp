#include "engine/QueueKeeper.h"

#include "queue/ThConvertInfo.h"

namespace tovilo {

QueueKeeper::QueueKeeper(ThConvertInfoObjectList& jobs, QObject* parent)
    : QObject(parent), m_jobs(jobs)
{
    connect(&m_jobs, &ThConvertInfoObjectList::jobChanged, this, &QueueKeeper::rowChanged);
    connect(&m_jobs, &ThConvertInfoObjectList::jobsAdded, this, &QueueKeeper::rowsMoved);
    connect(&m_jobs, &ThConvertInfoObjectList::jobRemoved, this, &QueueKeeper::rowsMoved);
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &QueueKeeper::rowsMoved);
}

QueueKeeper::~QueueKeeper()
{
    saveNow();
    if (m_store)
        m_store->setReport({});
}

QueueStore::Restored QueueKeeper::keepIn(const QByteArray& dataFolder)
{
    m_store = std::make_unique<QueueStore>(dataFolder);
    m_store->setReport([this](int error) {
        QMetaObject::invokeMethod(
            this, [this, error] { saveFailed(error); }, Qt::QueuedConnection);
    });
    const QueueStore::Restored restored = m_store->restore(m_jobs);
    // What was put back is written at once as it now stands (the interrupted job waiting).
    m_changes = {true, {}};
    saveNow();
    return restored;
}

void QueueKeeper::saveNow()
{
    if (m_store && (m_changes.whole || !m_changes.rows.empty()))
        m_store->save(m_jobs, m_changes);
    m_changes = {};
    m_marked.clear();
}

void QueueKeeper::saveFailed(int error)
{
    // The changes held back since are in the whole queue written on the retry.
    if (error != 0)
        m_retry.start();
    if (error == m_failure)
        return;
    m_failure = error;
    emit savingFailed(error);
}

void QueueKeeper::rowChanged(int row)
{
    if (!m_store)
        return;
    if (!m_changes.whole) {
        if (std::ssize(m_marked) <= row)
            m_marked.resize(static_cast<size_t>(row) + 1, 0);
        if (!m_marked[static_cast<size_t>(row)]) {
            m_marked[static_cast<size_t>(row)] = 1;
            m_changes.rows.push_back(row);
        }
    }
    saveLater();
}

void QueueKeeper::rowsMoved()
{
    if (!m_store)
        return;
    // Rows noted before now name other jobs: the whole queue is written.
    m_changes = {true, {}};
    m_marked.clear();
    saveLater();
}

void QueueKeeper::saveLater()
{
    if (m_savePending || !m_store)
        return;
    m_savePending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_savePending = false;
            saveNow();
        },
        Qt::QueuedConnection);
}

} // namespace tovilo
