// Distribution and architecture names and codes.
#include "mkportable/platform_codes.h"

#include <gtest/gtest.h>

namespace {

struct CodeCase {
    const char *text;
    std::optional<int32_t> distribution;
    std::optional<int32_t> architecture;
};
void PrintTo(const CodeCase &c, std::ostream *os) { *os << '"' << c.text << '"'; }

class PlatformCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(PlatformCodeTest, ParsesNamesAndCodesInRangeOnly)
{
    const CodeCase &c = GetParam();
    EXPECT_EQ(mkportable::parseDistribution(c.text), c.distribution);
    EXPECT_EQ(mkportable::parseArchitecture(c.text), c.architecture);
}

const std::optional<int32_t> NO;

INSTANTIATE_TEST_SUITE_P(
    Codes, PlatformCodeTest,
    ::testing::Values(CodeCase{"none", 0, 0}, CodeCase{"NONE", 0, 0}, CodeCase{"windows", 1, NO},
                      CodeCase{"SuSE", 2, NO}, CodeCase{"redhat", 3, NO},
                      CodeCase{"novell", 4, NO}, CodeCase{"i386", NO, 1},
                      CodeCase{"X86_64", NO, 2}, CodeCase{"ppc", NO, 3}, CodeCase{"03", 3, 3},
                      CodeCase{"4", 4, NO}, CodeCase{"debian", 5, NO}, CodeCase{"Ubuntu", 6, NO},
                      CodeCase{"6", 6, NO}, CodeCase{"7", NO, NO}, CodeCase{"any", -1, -1},
                      CodeCase{"ANY", -1, -1}, CodeCase{"-1", NO, NO},
                      CodeCase{"+1", NO, NO}, CodeCase{"", NO, NO}, CodeCase{" 1", NO, NO},
                      CodeCase{"red hat", NO, NO}, CodeCase{"amd64", NO, NO},
                      CodeCase{"99999999999", NO, NO}));

} // namespace
