#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace tovilo {

namespace {

// Read by the handler, so it must be lock-free.
std::atomic<int> g_writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onTerminationSignal(int number)
{
    const int saved = errno;
    const int fd = g_writeFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(number);
        // A full pipe already holds a pending signal: losing this one changes nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (createPipe(m_pipe) != 0 || setNonBlocking(m_pipe.readEnd.get()) != 0 ||
        setNonBlocking(m_pipe.writeEnd.get()) != 0)
        return;
    int expected = -1;
    if (!g_writeFd.compare_exchange_strong(expected, m_pipe.writeEnd.get()))
        return; // another object already has them
    m_notifier = new QSocketNotifier(m_pipe.readEnd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);

    for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
        struct sigaction current
        {
        };
        if (::sigaction(number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action
        {
        };
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        // Other threads' calls go on rather than fail with EINTR.
        action.sa_flags = SA_RESTART;
        Installed& installed = m_installed[m_installedCount];
        if (::sigaction(number, &action, &installed.previous) == 0) {
            installed.number = number;
            ++m_installedCount;
        }
    }
}

TerminationSignals::~TerminationSignals()
{
    for (int i = 0; i < m_installedCount; ++i)
        ::sigaction(m_installed[i].number, &m_installed[i].previous, nullptr);
    if (m_notifier != nullptr)
        g_writeFd.store(-1);
}

void TerminationSignals::readPending()
{
    unsigned char numbers[16];
    for (;;) {
        const std::int64_t n =
            readSome(m_pipe.readEnd.get(), reinterpret_cast<char*>(numbers), sizeof numbers);
        if (n <= 0)
            return;
        for (std::int64_t i = 0; i < n; ++i)
            emit received(numbers[i]);
    }
}

} // namespace tovilo
