#include "program_dir.h"

#include "osspecific.h"
#include "pack_error.h"

#include <system_error>

namespace mkportable {

namespace {

#if defined(__x86_64__)
constexpr const char *OWN_ARCHITECTURE = "x86_64";
#elif defined(__i386__)
constexpr const char *OWN_ARCHITECTURE = "i386";
#elif defined(__aarch64__)
constexpr const char *OWN_ARCHITECTURE = "aarch64";
#else
constexpr const char *OWN_ARCHITECTURE = "native";
#endif

} // namespace

std::filesystem::path programDirectory()
{
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return exe.parent_path();
}

std::string programArchitecture(std::int32_t machine)
{
    if (machine == PFM_ARCH_INTEL32)
        return "i386";
    return machine == PFM_ARCH_ARM64 ? "aarch64" : "x86_64";
}

std::vector<std::filesystem::path> programCandidates(const std::filesystem::path &programDir, const std::string &name,
                                                     const std::string &architecture)
{
    if (programDir.empty())
        return {};
    std::vector<std::filesystem::path> candidates;
    if (architecture == OWN_ARCHITECTURE)
        candidates.push_back(programDir / name);
    candidates.push_back(programDir.parent_path() / "libexec" / "mkportable" / architecture / name);
    return candidates;
}

std::filesystem::path findProgram(const std::filesystem::path &programDir, const std::string &name,
                                  const std::string &architecture, const std::string &option)
{
    const std::vector<std::filesystem::path> candidates = programCandidates(programDir, name, architecture);
    std::string tried;
    for (const std::filesystem::path &candidate : candidates) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec))
            return candidate;
        tried += (tried.empty() ? "" : ", ") + candidate.string();
    }
    throw PackError("no " + architecture + " " + name + " found" +
                    (tried.empty() ? "" : " (looked for " + tried + ")") + "; name one with " + option);
}

} // namespace mkportable
