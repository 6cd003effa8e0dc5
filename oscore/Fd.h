#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

// Descriptors and pipes. Every function reports failure through errno (or returns it), never
// by throwing.
namespace tovilo {

// The one place that retries a system call interrupted by a signal: calls `call` until it
// returns something other than -1 with EINTR.
template <class Call> auto retryOnInterrupt(Call call)
{
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

// Owns one file descriptor and closes it.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// open(2) for every caller outside this core: always close-on-exec, so no descriptor leaks
// into a child started meanwhile by another thread, and retried when interrupted. Not valid on
// failure, with errno set.
UniqueFd openFile(const char* path, int flags, mode_t mode = 0);
// The same for openat(2), relative to the folder open at `dir`.
UniqueFd openFileAt(int dir, const char* path, int flags, mode_t mode = 0);

// A file in memory holding `contents`, which a child started next inherits (no close-on-exec):
// for a program that reads a file by name, as /proc/self/fd/<n>. Not valid on failure.
UniqueFd inheritedMemoryFile(const char* name, std::string_view contents);

struct Pipe
{
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// Creates a close-on-exec pipe whose descriptors lie above 0, 1 and 2, so that they can be
// moved onto a child's standard handles without colliding with them. Returns 0 or an errno.
int createPipe(Pipe& pipe);

// Makes reads and writes on fd return EAGAIN instead of blocking. Returns 0 or an errno.
int setNonBlocking(int fd);

// Bytes waiting in a pipe, without consuming them (FIONREAD); -1 with errno on failure.
std::int64_t bytesAvailable(int fd);

// read(2) that retries on EINTR; -1 with errno on failure.
std::int64_t readSome(int fd, char* buffer, std::size_t size);

// pread(2) that retries on EINTR and reads on until size bytes are in; false at the end of
// the file or on failure (errno then set).
bool readFullyAt(int fd, void* buffer, std::size_t size, std::uint64_t offset);

// fsync(2), retried when interrupted: false when what was written may not be on the disk
// (errno set).
bool syncToDisk(int fd);
// The same for the names in the folder open at `dir` (an O_PATH descriptor will do). A folder
// that cannot be read is synced with its whole file system, through `fileInIt`, a file open
// in it. A file system that keeps no such thing to sync (EINVAL) counts as synced.
bool syncFolder(int dir, int fileInIt);

// write(2) that retries on EINTR and never raises SIGPIPE: a write to a pipe whose reader is
// gone fails with EPIPE instead of killing the program. Safe on any thread, touches no
// process-wide signal state.
std::int64_t writeSome(int fd, const char* data, std::size_t size);

// Writes all of data (as writeSome does, so without SIGPIPE); false when the descriptor no
// longer takes it (errno set).
bool writeAll(int fd, std::string_view data);

// One descriptor to wait for: readable (or, with forWriting, writable). After the wait, ready
// tells whether it was, hungUp whether its other end is gone.
struct WaitEntry
{
    int fd = -1;
    bool forWriting = false;
    bool ready = false;
    bool hungUp = false;
};

// Waits up to timeoutMs (-1: without limit) until one of the entries is ready (with none,
// simply sleeps). Entries with a negative fd are passed over. Returns false on time-out or
// interruption.
bool waitForAny(WaitEntry* entries, std::size_t count, int timeoutMs);

// A flag another thread raises to end a waitForAny early (an eventfd). Not valid when the
// system refused one; callers then fall back to short time-outs.
class WakeEvent
{
public:
    WakeEvent();
    bool isValid() const { return m_fd.isValid(); }
    int fd() const { return m_fd.get(); }
    void signal();
    void clear();

private:
    UniqueFd m_fd;
};

} // namespace tovilo
