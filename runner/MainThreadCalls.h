#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

namespace tovilo {

// Runs calls posted from any thread on the thread this object lives in, one at a time and in
// order, when that thread processes its events. The calls travel through a mutex of our own
// rather than inside the posted event, so that the hand-over is visible to the thread
// sanitizer. Calls not run yet when the object is destroyed are dropped.
class MainThreadCalls : public QObject
{
public:
    explicit MainThreadCalls(QObject* parent = nullptr) : QObject(parent) {}

    void post(std::function<void()> call);

protected:
    bool event(QEvent* event) override;

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_calls;
};

} // namespace tovilo
