// What kind of program a launcher or unzip utility is, from its ELF header.
#ifndef MKPORTABLE_PROGRAM_KIND_H
#define MKPORTABLE_PROGRAM_KIND_H

#include <cstdint>
#include <string>

namespace mkportable {

struct ProgramKind {
    bool elf = false;
    int bits = 0;         // 32 or 64; 0 when the header names neither
    unsigned machine = 0; // e_machine
};

// Reads the ELF identification at `offset` of `fd` (a program packed inside
// a package starts at its element's offset). Never throws: anything
// unreadable is simply no ELF program.
ProgramKind programKind(int fd, std::uint64_t offset);

// "ELF 32-bit Intel 80386", "ELF 64-bit x86-64", "ELF 32-bit machine 40",
// or "not an ELF program".
std::string describe(const ProgramKind &kind);

} // namespace mkportable

#endif
