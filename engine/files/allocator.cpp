#include "engine/files/allocator.h"

#include <QtGlobal>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace Allocator {

void keepBuffersBetweenFiles()
{
#if defined(__GLIBC__)
    // A file's buffers are freed at the end of every file and asked for again, at about the
    // same sizes, for the next one. By default glibc serves each block of 128 KB or more with
    // its own mmap and unmaps it on free, so every file pays again for faulting in fresh pages.
    // Blocks up to 32 MB (the most glibc allows) come from the heap instead, and the heap is
    // not trimmed below 256 MB: a worker reuses its pages from file to file. Each pool thread
    // keeps its own arena, so two workers never wait on one heap's lock; pixel data copied
    // from the input never passes through memory, so the heaps stay near the size of a header.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

} // namespace Allocator
