#pragma once

#include <QString>

// Copies a range of one open file to the end of another without passing it through a buffer
// of its size: in the kernel where the system can (copy_file_range, then sendfile), else
// through one small buffer. Pure apart from the two files; safe on any thread.
namespace RangeCopy {

enum class Method { CopyFileRange, Sendfile, Buffered };

// Copies `length` bytes of `from`, starting at `offset`, to the current position of `to`,
// which advances by the bytes written; the position of `from` is not used. Tries `first`, then
// the methods after it, each only where the system refuses the one before for these two files
// (not supported, across file systems). False, with `error` set, when a read or write fails or
// `from` ends before `offset + length`; `to` then holds part of the range.
bool copy(int from, qint64 offset, int to, qint64 length, QString *error,
          Method first = Method::CopyFileRange);

} // namespace RangeCopy
