#pragma once

#include <cstddef>
#include <memory>

// The bytes of one copy kept in memory until they are written at once: a buffer each thread
// keeps from file to file, grown as a copy needs it. Lent to one user at a time; a second user
// on the same thread meanwhile gets none (and its copy is written as it comes).
class KeptBytes
{
public:
    KeptBytes();
    ~KeptBytes();
    KeptBytes(const KeptBytes &) = delete;
    KeptBytes &operator=(const KeptBytes &) = delete;

    bool available() const { return m_lent; }
    char *data() const { return storage().data.get(); }
    std::size_t capacity() const { return storage().capacity; }

    // Makes room for at least `size` bytes, the first `used` of them kept. False when there is
    // no memory for it (the buffer is then as it was).
    bool reserve(std::size_t size, std::size_t used);

private:
    struct Storage
    {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
    };
    static Storage &storage();
    static bool &lent();

    bool m_lent = false;
};
