#include "program_extent.h"

#include "common/little_endian.h"

using portable::readLe16;
using portable::readLe32;
using portable::readLe64;

namespace {

// Field offsets of the ELF header and a program header in the two classes.
struct ElfLayout {
    std::size_t headerSize, phoff, shoff, phentsize, phnum, shentsize, shnum;
    std::size_t pOffset, pFilesz;
    bool wide; // 64-bit offsets
};
constexpr ElfLayout ELF32 = {52, 28, 32, 42, 44, 46, 48, 4, 16, false};
constexpr ElfLayout ELF64 = {64, 32, 40, 54, 56, 58, 60, 8, 32, true};

uint64_t offsetAt(const unsigned char *p, bool wide)
{
    return wide ? readLe64(p) : readLe32(p);
}

uint64_t atLeast(uint64_t a, uint64_t b)
{
    return a > b ? a : b;
}

} // namespace

uint64_t programExtent(const unsigned char *head, std::size_t length)
{
    if (length < 6 || head[0] != 0x7f || head[1] != 'E' || head[2] != 'L' || head[3] != 'F' || head[5] != 1)
        return 0;
    const ElfLayout &e = head[4] == 2 ? ELF64 : ELF32;
    if ((head[4] != 1 && head[4] != 2) || length < e.headerSize)
        return 0;
    const uint64_t phoff = offsetAt(head + e.phoff, e.wide), shoff = offsetAt(head + e.shoff, e.wide);
    const uint64_t phentsize = readLe16(head + e.phentsize), phnum = readLe16(head + e.phnum);
    const uint64_t shtable = shoff == 0 ? 0 : shoff + uint64_t(readLe16(head + e.shentsize)) * readLe16(head + e.shnum);
    uint64_t extent = atLeast(e.headerSize, atLeast(phoff + phentsize * phnum, shtable));
    // The segments, for a program whose section headers were stripped.
    for (uint64_t i = 0; phentsize >= e.pFilesz + (e.wide ? 8 : 4) && i < phnum; ++i) {
        const uint64_t at = phoff + i * phentsize;
        if (at + phentsize > length)
            break;
        const unsigned char *ph = head + at;
        extent = atLeast(extent, offsetAt(ph + e.pOffset, e.wide) + offsetAt(ph + e.pFilesz, e.wide));
    }
    return extent;
}

PackageEnding judgeMissingDirectory(const unsigned char *head, std::size_t length, uint64_t fileSize)
{
    const uint64_t extent = programExtent(head, length);
    return extent == 0 || extent == fileSize ? PackageEnding::NotAPackage : PackageEnding::CutShort;
}
