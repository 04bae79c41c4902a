#pragma once

#include <cstddef>
#include <memory>
#include <new>

// A buffer of `Size` bytes that each thread keeps from file to file, lent to one user at a
// time: freeing and asking again for a large block for every file costs more than the file's
// own work (fresh pages, or the allocator sorting all its free lists). While the thread's
// buffer is lent out, a second user gets a buffer of its own. data() is null when no memory
// was left for it. Not shared between threads.
template <std::size_t Size> class KeptBuffer
{
public:
    static constexpr std::size_t size = Size;

    KeptBuffer()
    {
        if (!lent()) {
            std::unique_ptr<char[]> &buffer = kept();
            if (!buffer)
                buffer.reset(new (std::nothrow) char[Size]);
            if (buffer) {
                lent() = true;
                m_lent = true;
                m_data = buffer.get();
                return;
            }
        }
        m_own.reset(new (std::nothrow) char[Size]);
        m_data = m_own.get();
    }
    ~KeptBuffer()
    {
        if (m_lent)
            lent() = false;
    }
    KeptBuffer(const KeptBuffer &) = delete;
    KeptBuffer &operator=(const KeptBuffer &) = delete;

    char *data() const { return m_data; }

private:
    static std::unique_ptr<char[]> &kept()
    {
        thread_local std::unique_ptr<char[]> buffer;
        return buffer;
    }
    static bool &lent()
    {
        thread_local bool isLent = false;
        return isLent;
    }

    char *m_data = nullptr;
    std::unique_ptr<char[]> m_own;
    bool m_lent = false;
};
