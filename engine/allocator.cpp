#include "engine/allocator.h"

#include <QtGlobal>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace Allocator {

void keepBuffersBetweenFiles()
{
#if defined(__GLIBC__)
    // Large blocks come from the heap, not from mmap, and the heap is not trimmed: the
    // memory stays with the process at the size of its largest files, once per worker.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
#endif
}

} // namespace Allocator
