#pragma once

#include <QByteArray>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace tovilo {

// Writes one file from a thread of its own, whole each time (written beside it, synced,
// renamed): the window's thread only hands over the bytes. Of several writes waiting, the
// latest alone is written.
class LatestFileWriter
{
public:
    explicit LatestFileWriter(QByteArray path);
    ~LatestFileWriter(); // writes what is waiting first
    LatestFileWriter(const LatestFileWriter&) = delete;
    LatestFileWriter& operator=(const LatestFileWriter&) = delete;

    void write(QByteArray bytes);
    // Returns once what was handed over is written (or failed); the errno of the last write.
    int flush();

private:
    void loop();

    const QByteArray m_path;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<QByteArray> m_waiting;
    bool m_busy = false;
    bool m_quit = false;
    int m_error = 0;
    std::thread m_thread;
};

} // namespace tovilo
