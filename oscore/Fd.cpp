#include "oscore/Fd.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tovilo {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0) {
        const int saved = errno;
        ::close(m_fd);
        errno = saved;
    }
    m_fd = fd;
}

UniqueFd openFile(const char* path, int flags, mode_t mode)
{
    return UniqueFd(retryOnInterrupt([&] { return ::open(path, flags | O_CLOEXEC, mode); }));
}

UniqueFd openFileAt(int dir, const char* path, int flags, mode_t mode)
{
    return UniqueFd(retryOnInterrupt([&] { return ::openat(dir, path, flags | O_CLOEXEC, mode); }));
}

UniqueFd inheritedMemoryFile(const char* name, std::string_view contents)
{
    UniqueFd fd(::memfd_create(name, 0));
    if (fd.isValid() && !writeAll(fd.get(), contents))
        fd.reset();
    return fd;
}

namespace {

// A descriptor on 0, 1 or 2 (possible when the program was started with one of them closed)
// would be overwritten or left close-on-exec by the child's dup2 calls.
int moveAboveStdio(UniqueFd& fd)
{
    if (fd.get() > STDERR_FILENO)
        return 0;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return errno;
    fd.reset(moved);
    return 0;
}

} // namespace

int createPipe(Pipe& pipe)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    if (const int error = moveAboveStdio(readEnd))
        return error;
    if (const int error = moveAboveStdio(writeEnd))
        return error;
    pipe.readEnd = std::move(readEnd);
    pipe.writeEnd = std::move(writeEnd);
    return 0;
}

int setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return errno;
    return 0;
}

std::int64_t bytesAvailable(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0)
        return -1;
    return count;
}

std::int64_t readSome(int fd, char* buffer, std::size_t size)
{
    return retryOnInterrupt([&] { return ::read(fd, buffer, size); });
}

bool readFullyAt(int fd, void* buffer, std::size_t size, std::uint64_t offset)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got =
            retryOnInterrupt([&] { return ::pread(fd, bytes, size, static_cast<off_t>(offset)); });
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

bool syncToDisk(int fd)
{
    return retryOnInterrupt([&] { return ::fsync(fd); }) == 0;
}

bool syncFolder(int dir, int fileInIt)
{
    // fsync refuses an O_PATH descriptor: the folder is opened for reading.
    const UniqueFd folder = openFileAt(dir, ".", O_RDONLY | O_DIRECTORY);
    const int result = folder.isValid() ? retryOnInterrupt([&] { return ::fsync(folder.get()); })
                                        : retryOnInterrupt([&] { return ::syncfs(fileInIt); });
    return result == 0 || errno == EINVAL;
}

std::int64_t writeSome(int fd, const char* data, std::size_t size)
{
    // SIGPIPE from write(2) is sent to the writing thread: block it here, and if this write
    // raised it, take it off the thread's pending set before unblocking. One that was already
    // pending (sent by someone else) is left alone.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t oldMask;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    const ssize_t n = retryOnInterrupt([&] { return ::write(fd, data, size); });
    const int error = errno;

    if (n < 0 && error == EPIPE && !wasPending) {
        const timespec noWait{};
        retryOnInterrupt([&] { return sigtimedwait(&pipeSignal, nullptr, &noWait); });
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    errno = error;
    return n;
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const std::int64_t n = writeSome(fd, data.data(), data.size());
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool waitForAny(WaitEntry* entries, std::size_t count, int timeoutMs)
{
    pollfd fds[8];
    if (count > std::size(fds))
        count = std::size(fds);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = pollfd{entries[i].fd, short(entries[i].forWriting ? POLLOUT : POLLIN), 0};
        entries[i].ready = false;
        entries[i].hungUp = false;
    }
    const int n = ::poll(fds, count, timeoutMs);
    if (n <= 0)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].ready = fds[i].revents & (entries[i].forWriting ? POLLOUT : POLLIN);
        entries[i].hungUp = fds[i].revents & (POLLHUP | POLLERR);
    }
    return true;
}

WakeEvent::WakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeEvent::signal()
{
    if (!m_fd.isValid())
        return;
    const int saved = errno;
    const std::uint64_t one = 1;
    retryOnInterrupt([&] { return ::write(m_fd.get(), &one, sizeof one); });
    errno = saved;
}

void WakeEvent::clear()
{
    if (!m_fd.isValid())
        return;
    const int saved = errno;
    std::uint64_t count;
    retryOnInterrupt([&] { return ::read(m_fd.get(), &count, sizeof count); });
    errno = saved;
}

} // namespace tovilo
