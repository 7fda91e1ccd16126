#include "program_kind.h"

#include "common/little_endian.h"

#include <unistd.h>

namespace mkportable {

namespace {

constexpr unsigned EM_386 = 3;
constexpr unsigned EM_PPC = 20;
constexpr unsigned EM_X86_64 = 62;
constexpr unsigned EM_AARCH64 = 183;

} // namespace

ProgramKind programKind(int fd, std::uint64_t offset)
{
    // e_ident (16 bytes), e_type (2), e_machine (2); both classes agree up to here.
    unsigned char head[20];
    ProgramKind kind;
    if (pread(fd, head, sizeof head, off_t(offset)) != ssize_t(sizeof head))
        return kind;
    if (head[0] != 0x7f || head[1] != 'E' || head[2] != 'L' || head[3] != 'F')
        return kind;
    kind.elf = true;
    kind.bits = head[4] == 1 ? 32 : head[4] == 2 ? 64 : 0;
    const bool bigEndian = head[5] == 2;
    kind.machine = bigEndian ? unsigned(head[18]) << 8 | head[19] : portable::readLe16(head + 18);
    return kind;
}

std::string describe(const ProgramKind &kind)
{
    if (!kind.elf)
        return "not an ELF program";
    std::string text = kind.bits ? "ELF " + std::to_string(kind.bits) + "-bit " : "ELF ";
    switch (kind.machine) {
    case EM_386: return text + "Intel 80386";
    case EM_X86_64: return text + "x86-64";
    case EM_PPC: return text + "PowerPC";
    case EM_AARCH64: return text + "ARM aarch64";
    default: return text + "machine " + std::to_string(kind.machine);
    }
}

} // namespace mkportable
