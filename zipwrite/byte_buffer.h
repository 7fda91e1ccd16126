// A growable run of bytes whose new bytes are left as they come: the zipper
// reads files into it and the compressors write into it, so zeroing them on
// every resize would be work thrown away, on every entry.
#ifndef ZIPWRITE_BYTE_BUFFER_H
#define ZIPWRITE_BYTE_BUFFER_H

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace mkportable {

// std::allocator, except that a value-initialised element (what resize()
// appends) is default-initialised: for bytes, not written at all.
template <class T>
class DefaultInitAllocator : public std::allocator<T> {
public:
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U> &) noexcept
    {
    }
    template <class U>
    void construct(U *at) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void *>(at)) U;
    }
    template <class U, class... Args>
    void construct(U *at, Args &&...args)
    {
        ::new (static_cast<void *>(at)) U(std::forward<Args>(args)...);
    }
};

using ByteBuffer = std::vector<unsigned char, DefaultInitAllocator<unsigned char>>;

} // namespace mkportable

#endif
