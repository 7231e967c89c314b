#include "Platform/Linux/MemoryTuning.h"

#include <malloc.h>

namespace {
// Below a 1080p NV12 frame (3 MiB), above what GStreamer allocates per packet.
constexpr int kMapThresholdBytes = 1024 * 1024;
} // namespace

void tuneMemoryForLargeFrames()
{
#if defined(M_MMAP_THRESHOLD) // glibc
    // Setting the threshold also turns off its automatic adjustment.
    mallopt(M_MMAP_THRESHOLD, kMapThresholdBytes);
#endif
}

void giveBackFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
