#include "engine/files/keptbytes.h"

#include <cstring>
#include <new>
#include <utility>

KeptBytes::KeptBytes()
{
    if (!lent()) {
        lent() = true;
        m_lent = true;
    }
}

KeptBytes::~KeptBytes()
{
    if (m_lent)
        lent() = false;
}

bool KeptBytes::reserve(std::size_t size, std::size_t used)
{
    Storage &kept = storage();
    if (size <= kept.capacity)
        return true;
    std::unique_ptr<char[]> grown(new (std::nothrow) char[size]);
    if (!grown)
        return false;
    if (used > 0)
        std::memcpy(grown.get(), kept.data.get(), used);
    kept.data = std::move(grown);
    kept.capacity = size;
    return true;
}

KeptBytes::Storage &KeptBytes::storage()
{
    thread_local Storage kept;
    return kept;
}

bool &KeptBytes::lent()
{
    thread_local bool isLent = false;
    return isLent;
}
