// The platform codes of command records and of PlatformInfo, with their
// names and labels: the one table that the launcher and mkportable share.
// The codes themselves are the PFM_* constants of the platform header.
#ifndef FORMAT_PLATFORM_TABLE_H
#define FORMAT_PLATFORM_TABLE_H

#include "osspecific.h"

#include <cstdint>
#include <iterator>

struct PlatformCodeText {
    int32_t code;
    const char *name;  // one lower-case word, as mkportable accepts it: "suse"
    const char *label; // in words, as the launcher prints it: "SuSE"
};

// Each table runs from code 0 upwards without a gap, so a code is its index.
// Code 0 means "not determined": the launcher prints it as "Unknown".
inline constexpr PlatformCodeText DISTRIBUTION_CODES[] = {
    {PFM_DIST_NONE, "none", "Unknown"},
    {PFM_DIST_WINDOWS, "windows", "Windows"},
    {PFM_DIST_SUSE, "suse", "SuSE"},
    {PFM_DIST_REDHAT, "redhat", "Red Hat"},
    {PFM_DIST_NOVELL, "novell", "Novell Linux Desktop"},
    {PFM_DIST_DEBIAN, "debian", "Debian"},
    {PFM_DIST_UBUNTU, "ubuntu", "Ubuntu"},
};

inline constexpr PlatformCodeText ARCHITECTURE_CODES[] = {
    {PFM_ARCH_NONE, "none", "Unknown"},           {PFM_ARCH_INTEL32, "i386", "Intel 32-bit"},
    {PFM_ARCH_INTEL64, "x86_64", "Intel 64-bit"}, {PFM_ARCH_PPC32, "ppc", "PPC 32-bit"},
    {PFM_ARCH_ARM64, "arm64", "ARM 64-bit"},
};

inline constexpr int DISTRIBUTION_CODE_COUNT = int(std::size(DISTRIBUTION_CODES));
inline constexpr int ARCHITECTURE_CODE_COUNT = int(std::size(ARCHITECTURE_CODES));

// The entry of a code, or null for a code that the table does not hold
// (PFM_ANY included).
const PlatformCodeText *findDistributionCode(int32_t code);
const PlatformCodeText *findArchitectureCode(int32_t code);

// The label of a code: "Unknown" for a code that the table does not hold.
const char *distributionLabel(int32_t code);
const char *architectureLabel(int32_t code);

#endif
