#include "bench/syscallcount.h"

#include <atomic>
#include <chrono>

#include <poll.h>
#include <unistd.h>

namespace {

std::atomic<uint64_t> reads{0};
std::atomic<uint64_t> writes{0};
std::atomic<uint64_t> polls{0};

// Only the host's thread reads and writes the port; the simulator is
// another process.
using Clock = std::chrono::steady_clock;
Clock::time_point lastBytesRead{};
bool replySeen = false;
double turnaround = 0.0;

} // namespace

extern "C" {

ssize_t __real_read(int fd, void* buffer, size_t count);
ssize_t __real_write(int fd, const void* buffer, size_t count);
int __real_poll(pollfd* fds, nfds_t count, int timeoutMs);

ssize_t __wrap_read(int fd, void* buffer, size_t count)
{
    ++reads;
    const ssize_t result = __real_read(fd, buffer, count);
    if (result > 0) {
        lastBytesRead = Clock::now();
        replySeen = true;
    }
    return result;
}

ssize_t __wrap_write(int fd, const void* buffer, size_t count)
{
    ++writes;
    if (replySeen) {
        turnaround += std::chrono::duration<double>(Clock::now() - lastBytesRead).count();
        replySeen = false;
    }
    return __real_write(fd, buffer, count);
}

int __wrap_poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    ++polls;
    return __real_poll(fds, count, timeoutMs);
}

} // extern "C"

namespace bench {

SyscallCounts CountedSyscalls()
{
    return {reads.load(), writes.load(), polls.load(), turnaround};
}

void ResetSyscallCounts()
{
    reads = 0;
    writes = 0;
    polls = 0;
    replySeen = false;
    turnaround = 0.0;
}

} // namespace bench
