#include "oscore/SignalPipe.h"

#include <atomic>
#include <iterator>
#include <unistd.h>

namespace tovilo {

namespace {

// Read by the handler, so it must be lock-free.
std::atomic<int> g_writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onPipedSignal(int number)
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

bool SignalPipe::install(std::initializer_list<int> numbers, const Options& options)
{
    if (m_active)
        return true;
    if (const int error = createPipe(m_pipe)) {
        errno = error;
        return false;
    }
    int error = setNonBlocking(m_pipe.readEnd.get());
    if (error == 0)
        error = setNonBlocking(m_pipe.writeEnd.get());
    if (error != 0) {
        errno = error;
        return false;
    }
    int expected = -1;
    if (!g_writeFd.compare_exchange_strong(expected, m_pipe.writeEnd.get())) {
        errno = EBUSY; // another object already has them
        return false;
    }
    m_active = true;
    for (const int number : numbers) {
        if (m_installedCount == static_cast<int>(std::size(m_installed)))
            break;
        struct sigaction current = {};
        if (::sigaction(number, nullptr, &current) != 0 ||
            (options.keepIgnored && current.sa_handler == SIG_IGN))
            continue;
        struct sigaction action = {};
        action.sa_handler = onPipedSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = options.restartCalls ? SA_RESTART : 0;
        if (number == SIGCHLD)
            action.sa_flags |= SA_NOCLDSTOP;
        Installed& installed = m_installed[m_installedCount];
        if (::sigaction(number, &action, &installed.previous) == 0) {
            installed.number = number;
            ++m_installedCount;
        }
    }
    return true;
}

SignalPipe::~SignalPipe()
{
    for (int i = 0; i < m_installedCount; ++i)
        ::sigaction(m_installed[i].number, &m_installed[i].previous, nullptr);
    if (m_active)
        g_writeFd.store(-1);
}

int SignalPipe::take(unsigned char* numbers, int size)
{
    if (!m_active || size <= 0)
        return 0;
    const std::int64_t n =
        readSome(m_pipe.readEnd.get(), reinterpret_cast<char*>(numbers), std::size_t(size));
    return n > 0 ? static_cast<int>(n) : 0;
}

} // namespace tovilo
