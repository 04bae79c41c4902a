#include "engine/files/memorystream.h"

MemoryStream::Buffer::Buffer(const char *data, std::streamsize size)
{
    // std::streambuf reads through char *; nothing here ever writes.
    char *begin = const_cast<char *>(data);
    setg(begin, begin, begin + size);
}

MemoryStream::Buffer::pos_type MemoryStream::Buffer::seekoff(off_type off,
                                                             std::ios_base::seekdir dir,
                                                             std::ios_base::openmode which)
{
    if (!(which & std::ios_base::in))
        return pos_type(off_type(-1));
    off_type base = 0;
    if (dir == std::ios_base::cur)
        base = gptr() - eback();
    else if (dir == std::ios_base::end)
        base = egptr() - eback();
    const off_type target = base + off;
    if (target < 0 || target > egptr() - eback())
        return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
}

MemoryStream::Buffer::pos_type MemoryStream::Buffer::seekpos(pos_type pos,
                                                             std::ios_base::openmode which)
{
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

MemoryStream::MemoryStream(const char *data, std::streamsize size)
    : std::istream(nullptr), m_buffer(data, size)
{
    rdbuf(&m_buffer);
}
