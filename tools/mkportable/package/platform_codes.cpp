#include "platform_codes.h"

#include "platform_table.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace mkportable {

namespace {

constexpr std::string_view ANY = "any";

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

template <std::size_t N>
std::optional<std::int32_t> parseCode(std::string_view text, const PlatformCodeText (&table)[N])
{
    for (const PlatformCodeText &entry : table)
        if (equalsIgnoringCase(text, entry.name))
            return entry.code;
    if (equalsIgnoringCase(text, ANY))
        return PFM_ANY;
    // Digits only: from_chars alone would accept a leading '-'.
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::int32_t code = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
    if (ec != std::errc() || end != text.data() + text.size() || code >= std::int32_t(N))
        return std::nullopt;
    return code;
}

// Unlike the launcher, which prints "Unknown" alone, the code is named.
std::string labelOf(std::int32_t code, const PlatformCodeText *entry)
{
    if (code == PFM_ANY)
        return std::string(ANY);
    return entry ? std::string(entry->label) : "Unknown (code " + std::to_string(code) + ")";
}

template <std::size_t N>
std::string choicesOf(const PlatformCodeText (&table)[N])
{
    std::string text;
    for (const PlatformCodeText &entry : table) {
        text += entry.name;
        text += ", ";
    }
    return text + std::string(ANY) + " or 0-" + std::to_string(N - 1);
}

} // namespace

std::optional<std::int32_t> parseDistribution(std::string_view text)
{
    return parseCode(text, DISTRIBUTION_CODES);
}

std::optional<std::int32_t> parseArchitecture(std::string_view text)
{
    // 64-bit ARM by the name that uname -m gives it, as x86_64 is.
    if (equalsIgnoringCase(text, "aarch64"))
        return PFM_ARCH_ARM64;
    return parseCode(text, ARCHITECTURE_CODES);
}

std::string distributionLabel(std::int32_t code)
{
    return labelOf(code, findDistributionCode(code));
}
std::string architectureLabel(std::int32_t code)
{
    return labelOf(code, findArchitectureCode(code));
}

std::optional<std::int32_t> parseRelease(std::string_view text)
{
    if (equalsIgnoringCase(text, ANY))
        return PFM_ANY;
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::int32_t release = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), release);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return release;
}

std::string platformText(std::int32_t distribution, std::int32_t release, std::int32_t architecture)
{
    const bool anyDistribution = distribution == PFM_ANY;
    std::string text = anyDistribution ? "any distribution" : distributionLabel(distribution);
    if (release != PFM_ANY)
        text += (anyDistribution ? ", release " : " ") + std::to_string(release);
    else if (!anyDistribution)
        text += ", any release";
    return text + ", " + (architecture == PFM_ANY ? "any architecture" : architectureLabel(architecture));
}

std::string distributionChoices()
{
    return choicesOf(DISTRIBUTION_CODES);
}
std::string architectureChoices()
{
    return choicesOf(ARCHITECTURE_CODES);
}

} // namespace mkportable
