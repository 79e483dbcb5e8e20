// Tracked, tagged pool memory.
#pragma once

#include <string>
#include <vector>

#include "fault_injection.h"
#include "platform/platform.h"

namespace sim {

// The tag as its four characters read in a pool dump, first character lowest.
constexpr ULONG PoolTag(const char (&text)[5])
{
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}

std::string PoolTagText(ULONG tag);

struct PoolAllocation {
    PVOID address;
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    CallSite site;
};

class Pool {
public:
    // Fresh allocations are filled with this byte unless filling is off, so
    // that code reading memory it never wrote sees garbage, not zeros.
    static constexpr UCHAR FillByte = 0xA5;

    static void SetFillPattern(bool enabled);
    // Gathered lock by lock: a true picture while no other thread allocates
    // or frees, as at the end of a test.
    static std::vector<PoolAllocation> Outstanding();
    static unsigned long long AllocationCount();
    // The most pool outstanding at once since the last reset, in bytes and
    // in blocks, so that a long run shows whether it grows without bound.
    // Exact: each is the highest total of a single order of every
    // allocation and free, though the two need not come from one moment.
    struct Peak {
        SIZE_T bytes = 0;
        size_t blocks = 0;
    };
    static Peak PeakUse();

    // The kernel's own allocations: tracked like the driver's, never failed.
    static PVOID AllocateForKernel(POOL_TYPE type, SIZE_T size, ULONG tag);

    // Frees whatever a failed test left behind; with no other thread using
    // the pool.
    static void Reset();
};

}  // namespace sim
