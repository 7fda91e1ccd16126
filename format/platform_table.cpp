#include "platform_table.h"

namespace {

template <std::size_t N>
constexpr bool codesAreIndices(const PlatformCodeText (&table)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        if (table[i].code != int32_t(i))
            return false;
    return true;
}

static_assert(codesAreIndices(DISTRIBUTION_CODES));
static_assert(codesAreIndices(ARCHITECTURE_CODES));

template <std::size_t N>
const PlatformCodeText *find(const PlatformCodeText (&table)[N], int32_t code)
{
    return code >= 0 && code < int32_t(N) ? &table[code] : nullptr;
}

const char *labelOf(const PlatformCodeText *entry)
{
    return entry ? entry->label : "Unknown";
}

} // namespace

const PlatformCodeText *findDistributionCode(int32_t code)
{
    return find(DISTRIBUTION_CODES, code);
}

const PlatformCodeText *findArchitectureCode(int32_t code)
{
    return find(ARCHITECTURE_CODES, code);
}

const char *distributionLabel(int32_t code)
{
    return labelOf(findDistributionCode(code));
}

const char *architectureLabel(int32_t code)
{
    return labelOf(findArchitectureCode(code));
}
