#pragma once

// The C library's allocator, tuned once at program start, before any thread runs.
namespace Allocator {

// Keeps large freed buffers (a file's pixel data) for the next file instead of handing them
// back to the system: without it every file of a job pays again for faulting in fresh pages.
// Does nothing where the C library offers no such tuning.
void keepBuffersBetweenFiles();

} // namespace Allocator
