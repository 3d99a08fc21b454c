#pragma once
// Counts the read(), write() and poll() calls this program's own code makes,
// the serial stream's included. The program is linked with
//   -Wl,--wrap=read,--wrap=write,--wrap=poll
// so that every such call goes through a counter first; calls made inside
// the C and C++ libraries themselves (file streams, say) are not counted.
#include <cstdint>

namespace bench {

struct SyscallCounts
{
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t polls = 0;
    // Time from a read() that brought bytes to the next write(): what the
    // host takes between the end of a reply and its next request, summed.
    double turnaroundSeconds = 0.0;

    uint64_t Total() const { return reads + writes + polls; }
};

SyscallCounts CountedSyscalls();
void ResetSyscallCounts();

} // namespace bench
