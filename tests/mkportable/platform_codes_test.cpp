// Distribution and architecture names and codes.
#include "mkportable/package/platform_codes.h"
#include "platform_table.h"

#include <gtest/gtest.h>

namespace {

struct CodeCase {
    const char *text;
    std::optional<int32_t> distribution;
    std::optional<int32_t> architecture;
};
void PrintTo(const CodeCase &c, std::ostream *os)
{
    *os << '"' << c.text << '"';
}

class PlatformCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(PlatformCodeTest, ParsesNamesAndCodesInRangeOnly)
{
    const CodeCase &c = GetParam();
    EXPECT_EQ(mkportable::parseDistribution(c.text), c.distribution);
    EXPECT_EQ(mkportable::parseArchitecture(c.text), c.architecture);
}

const std::optional<int32_t> NO;

INSTANTIATE_TEST_SUITE_P(Codes, PlatformCodeTest,
                         ::testing::Values(CodeCase{"none", 0, 0}, CodeCase{"NONE", 0, 0}, CodeCase{"windows", 1, NO},
                                           CodeCase{"SuSE", 2, NO}, CodeCase{"redhat", 3, NO},
                                           CodeCase{"novell", 4, NO}, CodeCase{"i386", NO, 1},
                                           CodeCase{"X86_64", NO, 2}, CodeCase{"ppc", NO, 3}, CodeCase{"03", 3, 3},
                                           CodeCase{"4", 4, 4}, CodeCase{"arm64", NO, 4}, CodeCase{"AArch64", NO, 4},
                                           CodeCase{"debian", 5, NO}, CodeCase{"Ubuntu", 6, NO}, CodeCase{"6", 6, NO},
                                           CodeCase{"7", NO, NO}, CodeCase{"any", -1, -1}, CodeCase{"ANY", -1, -1},
                                           CodeCase{"-1", NO, NO}, CodeCase{"+1", NO, NO}, CodeCase{"", NO, NO},
                                           CodeCase{" 1", NO, NO}, CodeCase{"red hat", NO, NO},
                                           CodeCase{"amd64", NO, NO}, CodeCase{"99999999999", NO, NO}));

// The launcher and mkportable print labels from one table; for a code
// without one the launcher says "Unknown" and mkportable names the code.
TEST(PlatformCodeLabels, TheLauncherSaysUnknownWhereMkportableNamesTheCode)
{
    struct Case {
        int32_t code;
        const char *launcherDistribution, *mkportableDistribution;
        const char *launcherArchitecture, *mkportableArchitecture;
    } cases[] = {
        {-1, "Unknown", "any", "Unknown", "any"},
        {0, "Unknown", "Unknown", "Unknown", "Unknown"},
        {2, "SuSE", "SuSE", "Intel 64-bit", "Intel 64-bit"},
        {3, "Red Hat", "Red Hat", "PPC 32-bit", "PPC 32-bit"},
        {4, "Novell Linux Desktop", "Novell Linux Desktop", "ARM 64-bit", "ARM 64-bit"},
        {5, "Debian", "Debian", "Unknown", "Unknown (code 5)"},
        {6, "Ubuntu", "Ubuntu", "Unknown", "Unknown (code 6)"},
        {7, "Unknown", "Unknown (code 7)", "Unknown", "Unknown (code 7)"},
        {INT32_MIN, "Unknown", "Unknown (code -2147483648)", "Unknown", "Unknown (code -2147483648)"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(distributionLabel(c.code), c.launcherDistribution) << c.code;
        EXPECT_EQ(mkportable::distributionLabel(c.code), c.mkportableDistribution) << c.code;
        EXPECT_STREQ(architectureLabel(c.code), c.launcherArchitecture) << c.code;
        EXPECT_EQ(mkportable::architectureLabel(c.code), c.mkportableArchitecture) << c.code;
    }
}

} // namespace
