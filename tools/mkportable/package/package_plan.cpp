#include "package_plan.h"

#include "pack_error.h"
#include "platform_codes.h"

#include <algorithm>

namespace mkportable {

namespace {

// The launcher identifies only these platforms; a record for any other
// can be selected only as the fallback after the mismatch warning.
bool machineCanMatch(const CommandEntry &entry)
{
    const bool knownDistribution = entry.distribution == PFM_ANY || entry.distribution == PFM_DIST_SUSE ||
                                   entry.distribution == PFM_DIST_REDHAT || entry.distribution == PFM_DIST_NOVELL ||
                                   entry.distribution == PFM_DIST_DEBIAN || entry.distribution == PFM_DIST_UBUNTU;
    return knownDistribution && entry.architecture != PFM_ARCH_NONE;
}

std::string platformOf(const CommandEntry &entry)
{
    return platformText(entry.distribution, entry.release, entry.architecture);
}

bool samePlatform(const CommandEntry &a, const CommandEntry &b)
{
    return a.distribution == b.distribution && a.release == b.release && a.architecture == b.architecture;
}

// True when every machine that `later` matches is matched by `earlier`
// too: the launcher, which takes the first match, never reaches `later`.
bool covers(const CommandEntry &earlier, const CommandEntry &later)
{
    auto field = [](std::int32_t e, std::int32_t l) { return e == PFM_ANY || e == l; };
    return field(earlier.distribution, later.distribution) && field(earlier.release, later.release) &&
           field(earlier.architecture, later.architecture);
}

} // namespace

std::int32_t packageMachine(const PackagePlan &plan)
{
    const auto isIntel = [](std::int32_t a) { return a == PFM_ARCH_INTEL32 || a == PFM_ARCH_INTEL64; };
    const auto firstOf = [&plan](auto pred) {
        return std::find_if(plan.commands.begin(), plan.commands.end(),
                            [&pred](const CommandEntry &e) { return pred(e.architecture); });
    };
    const auto arm = firstOf([](std::int32_t a) { return a == PFM_ARCH_ARM64; });
    const auto intel = firstOf(isIntel);
    const auto recordText = [&plan](std::vector<CommandEntry>::const_iterator at) {
        return "command record " + std::to_string(at - plan.commands.begin()) + " (" + platformOf(*at) + ")";
    };
    const std::string twoFiles = "; a package runs on one processor family: build two files, one for "
                                 "ARM and one for Intel machines";
    if (arm != plan.commands.end() && intel != plan.commands.end())
        throw PackError(recordText(arm) + " and " + recordText(intel) + " are for different processors" + twoFiles);
    if (plan.target == PFM_ARCH_ARM64 && intel != plan.commands.end())
        throw PackError("the target is arm64, but " + recordText(intel) + " is for Intel machines" + twoFiles);
    if (isIntel(plan.target) && arm != plan.commands.end())
        throw PackError("the target is " + std::string(plan.target == PFM_ARCH_INTEL32 ? "i386" : "x86_64") + ", but " +
                        recordText(arm) + " is for ARM machines" + twoFiles);
    if (arm != plan.commands.end() || plan.target == PFM_ARCH_ARM64) {
        if (plan.images.size() == 2)
            throw PackError("a dual-image package holds an i386 and an x86_64 image for Intel machines; "
                            "an ARM package has one image");
        return PFM_ARCH_ARM64;
    }
    if (plan.images.size() == 2 || plan.target == PFM_ARCH_INTEL32 ||
        firstOf([](std::int32_t a) { return a == PFM_ARCH_INTEL32; }) != plan.commands.end())
        return PFM_ARCH_INTEL32;
    return PFM_ARCH_INTEL64;
}

std::optional<std::int32_t> parseTarget(std::string_view text)
{
    const std::optional<std::int32_t> code = parseArchitecture(text);
    if (code &&
        (*code == PFM_ANY || *code == PFM_ARCH_INTEL32 || *code == PFM_ARCH_INTEL64 || *code == PFM_ARCH_ARM64) &&
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return code;
    return std::nullopt;
}

void checkRecords(const PackagePlan &plan, std::ostream &warnings)
{
    const std::vector<CommandEntry> &commands = plan.commands;
    if (commands.empty())
        throw PackError("a package needs at least one command record");
    for (std::size_t i = 0; i < commands.size(); ++i) {
        validateCommand(commands[i], i);
        for (std::size_t j = 0; j < i; ++j)
            if (samePlatform(commands[i], commands[j]))
                throw PackError("command record " + std::to_string(i) + " (" + platformOf(commands[i]) +
                                ") repeats the platform of record " + std::to_string(j) +
                                "; the launcher would never select it");
            else if (covers(commands[j], commands[i]))
                throw PackError("command record " + std::to_string(i) + " (" + platformOf(commands[i]) +
                                ") comes after record " + std::to_string(j) + " (" + platformOf(commands[j]) +
                                "), which matches every machine that it matches; the launcher "
                                "would never select it: put the narrower record first");
    }
    if (plan.strictPlatformMatch && std::none_of(commands.begin(), commands.end(), machineCanMatch))
        throw PackError("a strict package needs a record for SuSE, Red Hat, Novell, Debian, "
                        "Ubuntu or any distribution on a known architecture; with these records "
                        "the launcher refuses every machine");
    for (std::size_t i = 0; i < commands.size(); ++i)
        if (!machineCanMatch(commands[i]))
            warnings << "mkportable: warning: command record " << i << " (" << platformOf(commands[i])
                     << ") matches no machine; the launcher "
                     << (i == 0 && !plan.strictPlatformMatch
                             ? "runs it only after the mismatch warning and a 5-second pause"
                             : "never selects it")
                     << "\n";
}

void checkExcludePattern(const std::string &pattern, const std::string &origin)
{
    if (pattern.empty())
        throw PackError(origin + ": an exclude pattern is empty");
    if (pattern.find('/') != std::string::npos)
        throw PackError(origin + ": the exclude pattern '" + pattern +
                        "' holds a '/'; each pattern is matched against one name of a path at a time");
}

} // namespace mkportable
