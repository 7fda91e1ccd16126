#include "platform_codes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace mkportable {

namespace {

// The index of a name is its code.
constexpr std::array<std::string_view, 7> DISTRIBUTIONS = {"none",   "windows", "suse",  "redhat",
                                                           "novell", "debian",  "ubuntu"};
constexpr std::array<std::string_view, 4> ARCHITECTURES = {"none", "i386", "x86_64", "ppc"};
constexpr std::array<std::string_view, 7> DISTRIBUTION_LABELS = {
    "Unknown", "Windows", "SuSE", "Red Hat", "Novell Linux Desktop", "Debian", "Ubuntu"};
constexpr std::string_view ANY = "any";
constexpr std::array<std::string_view, 4> ARCHITECTURE_LABELS = {"Unknown", "Intel 32-bit",
                                                                 "Intel 64-bit", "PPC 32-bit"};

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

template <std::size_t N>
std::optional<std::int32_t> parseCode(std::string_view text,
                                      const std::array<std::string_view, N> &names)
{
    for (std::size_t i = 0; i < N; ++i)
        if (equalsIgnoringCase(text, names[i]))
            return std::int32_t(i);
    if (equalsIgnoringCase(text, ANY))
        return CODE_ANY;
    // Digits only: from_chars alone would accept a leading '-'.
    if (text.empty() || !std::all_of(text.begin(), text.end(),
                                     [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::int32_t code = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
    if (ec != std::errc() || end != text.data() + text.size() || code >= std::int32_t(N))
        return std::nullopt;
    return code;
}

template <std::size_t N>
std::string nameOf(std::int32_t code, const std::array<std::string_view, N> &names)
{
    if (code == CODE_ANY)
        return std::string(ANY);
    if (code >= 0 && code < std::int32_t(N))
        return std::string(names[std::size_t(code)]);
    return "code " + std::to_string(code);
}

template <std::size_t N>
std::string labelOf(std::int32_t code, const std::array<std::string_view, N> &labels)
{
    if (code == CODE_ANY)
        return "any";
    if (code >= 0 && code < std::int32_t(N))
        return std::string(labels[std::size_t(code)]);
    return "Unknown (code " + std::to_string(code) + ")";
}

template <std::size_t N>
std::string choicesOf(const std::array<std::string_view, N> &names)
{
    std::string text;
    for (std::size_t i = 0; i < N; ++i) {
        text += names[i];
        text += ", ";
    }
    return text + std::string(ANY) + " or 0-" + std::to_string(N - 1);
}

} // namespace

std::optional<std::int32_t> parseDistribution(std::string_view text)
{
    return parseCode(text, DISTRIBUTIONS);
}

std::optional<std::int32_t> parseArchitecture(std::string_view text)
{
    return parseCode(text, ARCHITECTURES);
}

std::string distributionName(std::int32_t code) { return nameOf(code, DISTRIBUTIONS); }
std::string architectureName(std::int32_t code) { return nameOf(code, ARCHITECTURES); }
std::string distributionLabel(std::int32_t code) { return labelOf(code, DISTRIBUTION_LABELS); }
std::string architectureLabel(std::int32_t code) { return labelOf(code, ARCHITECTURE_LABELS); }

std::optional<std::int32_t> parseRelease(std::string_view text)
{
    if (equalsIgnoringCase(text, ANY))
        return CODE_ANY;
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::int32_t release = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), release);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return release;
}

std::string releaseName(std::int32_t release)
{
    return release == CODE_ANY ? std::string(ANY) : std::to_string(release);
}

std::string platformText(std::int32_t distribution, std::int32_t release,
                         std::int32_t architecture)
{
    const bool anyDistribution = distribution == CODE_ANY;
    std::string text = anyDistribution ? "any distribution" : distributionLabel(distribution);
    if (release != CODE_ANY)
        text += (anyDistribution ? ", release " : " ") + std::to_string(release);
    else if (!anyDistribution)
        text += ", any release";
    return text + ", " + (architecture == CODE_ANY ? "any architecture" : architectureLabel(architecture));
}

std::string distributionChoices() { return choicesOf(DISTRIBUTIONS); }
std::string architectureChoices() { return choicesOf(ARCHITECTURES); }

} // namespace mkportable
