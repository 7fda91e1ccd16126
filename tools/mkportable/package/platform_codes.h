// Names and codes of the platforms that a command record is made for, as
// mkportable reads and shows them. The codes are the PFM_* constants, in
// the table of format/platform_table.h; in any field of a record PFM_ANY
// ("any") matches every machine.
#ifndef MKPORTABLE_PLATFORM_CODES_H
#define MKPORTABLE_PLATFORM_CODES_H

#include "osspecific.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mkportable {

// Parses a distribution given by name (case-insensitive), by its decimal
// code, or as "any"; nullopt for anything else, codes out of range included.
std::optional<std::int32_t> parseDistribution(std::string_view text);
// Same for an architecture.
std::optional<std::int32_t> parseArchitecture(std::string_view text);

// The words the launcher uses for a code ("SuSE", "Red Hat", "Intel 64-bit");
// "Unknown (code N)" for a code it has no word for.
std::string distributionLabel(std::int32_t code);
std::string architectureLabel(std::int32_t code);
// A platform in words: "SuSE 11, Intel 64-bit", "Debian, any release, any
// architecture", "any distribution, Intel 64-bit".
std::string platformText(std::int32_t distribution, std::int32_t release, std::int32_t architecture);

// Parses a release: a whole number 0 to 2147483647, or "any".
std::optional<std::int32_t> parseRelease(std::string_view text);

// "none, windows, suse, redhat, novell, debian, ubuntu, any or 0-6", for help
// and messages.
std::string distributionChoices();
std::string architectureChoices();

} // namespace mkportable

#endif
