#include "platform/Memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// The allocator's own first threshold: smaller blocks stay in the heaps, where a map of their
// own would cost a system call each.
constexpr int LARGE_BLOCK_BYTES = 128 * 1024;

} // namespace

void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void MapLargeBlocksApart()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK_BYTES);
#endif
}
