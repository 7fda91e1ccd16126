// Names and codes of the platforms that a command record is made for.
#ifndef MKPORTABLE_PLATFORM_CODES_H
#define MKPORTABLE_PLATFORM_CODES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mkportable {

// Distribution codes: 0 none, 1 windows, 2 suse, 3 redhat, 4 novell,
// 5 debian, 6 ubuntu.
// Architecture codes: 0 none, 1 i386 (Intel 32-bit), 2 x86_64 (Intel 64-bit),
// 3 ppc (PPC 32-bit).
// In any field of a record, -1 ("any") matches every machine.
constexpr std::int32_t DIST_NONE = 0, DIST_WINDOWS = 1, DIST_SUSE = 2, DIST_REDHAT = 3,
                       DIST_NOVELL = 4, DIST_DEBIAN = 5, DIST_UBUNTU = 6;
constexpr std::int32_t ARCH_NONE = 0, ARCH_INTEL32 = 1, ARCH_INTEL64 = 2, ARCH_PPC32 = 3;
constexpr std::int32_t CODE_ANY = -1;

// Parses a distribution given by name (case-insensitive), by its decimal
// code, or as "any"; nullopt for anything else, codes out of range included.
std::optional<std::int32_t> parseDistribution(std::string_view text);
// Same for an architecture.
std::optional<std::int32_t> parseArchitecture(std::string_view text);

// The name of a code, or "code N" for a code without one.
std::string distributionName(std::int32_t code);
std::string architectureName(std::int32_t code);

// The words the launcher uses for a code ("SuSE", "Red Hat", "Intel 64-bit");
// "Unknown (code N)" for a code it has no word for.
std::string distributionLabel(std::int32_t code);
std::string architectureLabel(std::int32_t code);
// A platform in words: "SuSE 11, Intel 64-bit", "Debian, any release, any
// architecture", "any distribution, Intel 64-bit".
std::string platformText(std::int32_t distribution, std::int32_t release,
                         std::int32_t architecture);

// Parses a release: a whole number 0 to 2147483647, or "any".
std::optional<std::int32_t> parseRelease(std::string_view text);
std::string releaseName(std::int32_t release);

// "none, windows, suse, redhat, novell, debian, ubuntu, any or 0-6", for help
// and messages.
std::string distributionChoices();
std::string architectureChoices();

} // namespace mkportable

#endif
