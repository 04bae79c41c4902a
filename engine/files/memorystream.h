#pragma once

#include <istream>
#include <streambuf>

// A read-only stream over bytes already in memory, for GDCM to parse a file the structural
// check has just read, without opening and reading it a second time. Seeks anywhere within
// the bytes, as GDCM's reader does. The bytes must outlive the stream.
class MemoryStream : public std::istream
{
public:
    MemoryStream(const char *data, std::streamsize size);

private:
    class Buffer : public std::streambuf
    {
    public:
        Buffer(const char *data, std::streamsize size);

    protected:
        pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                         std::ios_base::openmode which) override;
        pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    };

    Buffer m_buffer;
};
