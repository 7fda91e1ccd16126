#include "elf_dynamic.h"

#include "pack_error.h"
#include "program_kind.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

namespace {

// The ELF types of one class, so that one reader serves both.
struct Elf32 {
    using Ehdr = Elf32_Ehdr;
    using Phdr = Elf32_Phdr;
    using Dyn = Elf32_Dyn;
};
struct Elf64 {
    using Ehdr = Elf64_Ehdr;
    using Phdr = Elf64_Phdr;
    using Dyn = Elf64_Dyn;
};

class ElfFile {
public:
    ElfFile(const std::filesystem::path &file, int fd, std::uint64_t size) : file_(file), fd_(fd), size_(size) {}

    [[noreturn]] void damaged(const std::string &what) const
    {
        throw PackError(file_.string() + " is a damaged ELF file: " + what);
    }

    // Reads `count` bytes at `offset`, which must lie inside the file.
    void read(void *into, std::uint64_t offset, std::uint64_t count, const char *what) const
    {
        if (offset > size_ || count > size_ - offset)
            damaged(std::string(what) + " lies outside the file");
        if (pread(fd_, into, count, off_t(offset)) != ssize_t(count))
            throwSystemError("read(" + file_.string() + ")", errno);
    }

    // The NUL-terminated text at `offset`, which may run to the file's end.
    std::string text(std::uint64_t offset, const char *what) const
    {
        std::string out;
        char chunk[256];
        while (offset < size_) {
            const std::uint64_t count = std::min<std::uint64_t>(sizeof chunk, size_ - offset);
            read(chunk, offset, count, what);
            const void *end = std::memchr(chunk, '\0', count);
            if (end != nullptr)
                return out.append(chunk, static_cast<const char *>(end) - chunk);
            out.append(chunk, count);
            offset += count;
        }
        damaged(std::string(what) + " runs past the end of the file");
    }

private:
    const std::filesystem::path &file_;
    int fd_;
    std::uint64_t size_;
};

template <typename T>
void readDynamic(const ElfFile &elf, ElfDynamic &out)
{
    typename T::Ehdr eh;
    elf.read(&eh, 0, sizeof eh, "the ELF header");
    if (eh.e_phentsize != sizeof(typename T::Phdr))
        elf.damaged("unexpected program header size " + std::to_string(eh.e_phentsize));
    out.sharedObject = eh.e_type == ET_DYN;
    std::vector<typename T::Phdr> phdrs(eh.e_phnum);
    elf.read(phdrs.data(), eh.e_phoff, std::uint64_t(eh.e_phnum) * sizeof(typename T::Phdr), "the program headers");

    const typename T::Phdr *dynamic = nullptr;
    for (const auto &ph : phdrs) {
        if (ph.p_type == PT_INTERP)
            out.interpreter = elf.text(ph.p_offset, "the interpreter name");
        if (ph.p_type == PT_DYNAMIC)
            dynamic = &ph;
    }
    if (dynamic == nullptr)
        return;
    out.dynamic = true;

    std::vector<typename T::Dyn> entries(dynamic->p_filesz / sizeof(typename T::Dyn));
    elf.read(entries.data(), dynamic->p_offset, entries.size() * sizeof(typename T::Dyn), "the dynamic section");
    std::uint64_t strtab = 0;
    bool haveStrtab = false;
    std::vector<std::uint64_t> needed;
    std::optional<std::uint64_t> rpath, runpath;
    for (const auto &d : entries) {
        if (d.d_tag == DT_NULL)
            break;
        if (d.d_tag == DT_STRTAB) {
            strtab = d.d_un.d_ptr;
            haveStrtab = true;
        } else if (d.d_tag == DT_NEEDED) {
            needed.push_back(d.d_un.d_val);
        } else if (d.d_tag == DT_RPATH) {
            rpath = d.d_un.d_val;
        } else if (d.d_tag == DT_RUNPATH) {
            runpath = d.d_un.d_val;
        }
    }
    if (!haveStrtab) {
        if (!needed.empty() || rpath || runpath)
            elf.damaged("the dynamic section names libraries but has no string table");
        return;
    }
    // DT_STRTAB is an address in memory: the loadable segment that holds it
    // tells where it lies in the file.
    std::optional<std::uint64_t> strtabOffset;
    for (const auto &ph : phdrs)
        if (ph.p_type == PT_LOAD && strtab >= ph.p_vaddr && strtab - ph.p_vaddr < ph.p_filesz)
            strtabOffset = ph.p_offset + (strtab - ph.p_vaddr);
    if (!strtabOffset)
        elf.damaged("the string table lies in no loadable segment");
    for (std::uint64_t name : needed)
        out.needed.push_back(elf.text(*strtabOffset + name, "a library name"));
    if (rpath)
        out.rpath = elf.text(*strtabOffset + *rpath, "the RPATH");
    if (runpath)
        out.runpath = elf.text(*strtabOffset + *runpath, "the RUNPATH");
}

} // namespace

ElfDynamic readElfDynamic(const std::filesystem::path &file)
{
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        throwSystemError("open(" + file.string() + ")", errno);
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        throwSystemError("fstat(" + file.string() + ")", errno);
    const ProgramKind kind = programKind(fd.get(), 0);
    unsigned char ident[EI_NIDENT] = {};
    if (!kind.elf || pread(fd.get(), ident, sizeof ident, 0) != EI_NIDENT)
        throw PackError(file.string() + " is not an ELF program");
    if (kind.bits == 0)
        throw PackError(file.string() + " is an ELF file of neither 32 nor 64 bits");
    if (ident[EI_DATA] != ELFDATA2LSB)
        throw PackError(file.string() + " is a big-endian ELF file; only little-endian ones "
                                        "can be bundled");
    ElfDynamic out;
    out.bits = kind.bits;
    out.machine = kind.machine;
    const ElfFile elf(file, fd.get(), std::uint64_t(st.st_size));
    if (kind.bits == 64)
        readDynamic<Elf64>(elf, out);
    else
        readDynamic<Elf32>(elf, out);
    return out;
}

bool elfMatches(const std::filesystem::path &file, int bits, unsigned machine)
{
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    const ProgramKind kind = programKind(fd.get(), 0);
    return kind.elf && kind.bits == bits && kind.machine == machine;
}

} // namespace mkportable
