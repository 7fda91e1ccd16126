// What the dynamic loader needs to start an ELF program or load a shared
// library: its interpreter, the libraries it names and its search paths,
// read from the file without running it.
#ifndef MKPORTABLE_ELF_DYNAMIC_H
#define MKPORTABLE_ELF_DYNAMIC_H

#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

struct ElfDynamic {
    int bits = 0;                    // 32 or 64
    unsigned machine = 0;            // e_machine
    std::string interpreter;         // PT_INTERP; empty for a static program or a library
    bool dynamic = false;            // has a PT_DYNAMIC segment
    bool sharedObject = false;       // e_type ET_DYN: a library, or a position-independent program
    std::vector<std::string> needed; // DT_NEEDED, in order
    std::string rpath;               // DT_RPATH, ':'-separated; empty when absent
    std::string runpath;             // DT_RUNPATH, likewise
};

// Reads the little-endian ELF file at `file`. Throws PackError naming the
// file when it is not an ELF file of either class, or when its headers or
// dynamic section point outside the file (a cut or damaged file).
ElfDynamic readElfDynamic(const std::filesystem::path &file);

// True when `file` is an ELF file of the given class and machine, as the
// loader checks before it takes a library that it found by name. Never
// throws.
bool elfMatches(const std::filesystem::path &file, int bits, unsigned machine);

} // namespace mkportable

#endif
