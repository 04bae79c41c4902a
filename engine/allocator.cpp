#include "engine/allocator.h"

#include <QtGlobal>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace Allocator {

void keepBuffersBetweenFiles()
{
#if defined(__GLIBC__)
    // A file's buffers (its pixel data, and the copy GDCM's writer makes of it) are freed at
    // the end of every file and asked for again, at about the same sizes, for the next one.
    // By default glibc serves each large block with its own mmap and unmaps it on free, and
    // gives each pool thread an arena of its own that cannot hold such blocks, so every file
    // pays again for faulting in fresh pages. One heap without mmap and without trimming
    // below 256 MB keeps them: the process stays at its high-water mark, about twice the
    // largest file per worker.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

} // namespace Allocator
