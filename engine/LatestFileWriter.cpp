#include "engine/LatestFileWriter.h"

#include "platform/FileSystem.h"

namespace tovilo {

LatestFileWriter::LatestFileWriter(QByteArray path)
    : m_path(std::move(path)), m_thread([this] { loop(); })
{
}

LatestFileWriter::~LatestFileWriter()
{
    {
        std::lock_guard lock(m_lock);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void LatestFileWriter::write(QByteArray bytes)
{
    {
        std::lock_guard lock(m_lock);
        m_waiting = std::move(bytes);
    }
    m_wake.notify_all();
}

int LatestFileWriter::flush()
{
    std::unique_lock lock(m_lock);
    m_idle.wait(lock, [this] { return !m_waiting && !m_busy; });
    return m_error;
}

void LatestFileWriter::loop()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_waiting; });
        if (!m_waiting)
            return;
        const QByteArray bytes = std::move(*m_waiting);
        m_waiting.reset();
        m_busy = true;
        lock.unlock();
        const int error = replaceFile(m_path, bytes, 0600);
        lock.lock();
        m_error = error;
        m_busy = false;
        m_idle.notify_all();
    }
}

} // namespace tovilo
