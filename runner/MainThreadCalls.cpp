#include "runner/MainThreadCalls.h"

#include <QCoreApplication>
#include <QEvent>

namespace tovilo {

namespace {
const QEvent::Type callsEventType = static_cast<QEvent::Type>(QEvent::registerEventType());
}

void MainThreadCalls::post(std::function<void()> call)
{
    // Made before the lock and read only under it, so the event too is handed over by it.
    auto* wakeUp = new QEvent(callsEventType);
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    QCoreApplication::postEvent(this, wakeUp);
}

bool MainThreadCalls::event(QEvent* event)
{
    // One call per event. A call may run a nested event loop, which then delivers the next
    // event and with it the next call.
    std::function<void()> call;
    {
        std::unique_lock lock(m_mutex);
        if (event->type() != callsEventType) {
            lock.unlock();
            return QObject::event(event);
        }
        if (m_calls.empty())
            return true;
        call = std::move(m_calls.front());
        m_calls.pop_front();
    }
    try {
        call();
    } catch (...) {
        // Nothing may unwind through the event loop; the callers catch their own failures.
    }
    return true;
}

} // namespace tovilo
