// Little-endian fields of the zip and package formats, read from and written
// to byte arrays one byte at a time, so that neither the host's byte order
// nor the field's alignment matters.
#pragma once

#include <cstdint>

namespace portable {

constexpr std::uint16_t readLe16(const unsigned char *p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}

constexpr std::uint32_t readLe32(const unsigned char *p)
{
    return readLe16(p) | std::uint32_t(readLe16(p + 2)) << 16;
}

constexpr std::uint64_t readLe64(const unsigned char *p)
{
    return readLe32(p) | std::uint64_t(readLe32(p + 4)) << 32;
}

constexpr void writeLe16(unsigned char *p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

constexpr void writeLe32(unsigned char *p, std::uint32_t v)
{
    writeLe16(p, std::uint16_t(v));
    writeLe16(p + 2, std::uint16_t(v >> 16));
}

} // namespace portable
