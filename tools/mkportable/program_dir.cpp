#include "program_dir.h"

#include <system_error>

namespace mkportable {

std::filesystem::path programDirectory()
{
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return exe.parent_path();
}

} // namespace mkportable
