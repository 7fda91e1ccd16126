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
    EXPECT_EQ(mkportable::parseDistribution(c.text), c.distribution) << c.text;
    EXPECT_EQ(mkportable::parseArchitecture(c.text), c.architecture) << c.text;
}

const std::optional<int32_t> NONE;

INSTANTIATE_TEST_SUITE_P(
    Codes, PlatformCodeTest,
    ::testing::Values(CodeCase{"none", 0, 0}, CodeCase{"NONE", 0, 0},
                      CodeCase{"windows", 1, NONE}, CodeCase{"SuSE", 2, NONE},
                      CodeCase{"redhat", 3, NONE}, CodeCase{"novell", 4, NONE},
                      CodeCase{"i386", NONE, 1}, CodeCase{"X86_64", NONE, 2},
                      CodeCase{"ppc", NONE, 3}, CodeCase{"0", 0, 0}, CodeCase{"3", 3, 3},
                      CodeCase{"03", 3, 3}, CodeCase{"4", 4, NONE}, CodeCase{"5", NONE, NONE},
                      CodeCase{"-1", NONE, NONE}, CodeCase{"+1", NONE, NONE},
                      CodeCase{"", NONE, NONE}, CodeCase{" 1", NONE, NONE},
                      CodeCase{"red hat", NONE, NONE}, CodeCase{"amd64", NONE, NONE},
                      CodeCase{"99999999999", NONE, NONE}));

TEST(PlatformCodes, NamesRoundTripAndUnknownCodesStayVisible)
{
    for (int32_t code = 0; code <= 4; ++code)
        EXPECT_EQ(mkportable::parseDistribution(mkportable::distributionName(code)), code);
    for (int32_t code = 0; code <= 3; ++code)
        EXPECT_EQ(mkportable::parseArchitecture(mkportable::architectureName(code)), code);
    EXPECT_EQ(mkportable::distributionName(9), "code 9");
    EXPECT_EQ(mkportable::architectureName(-1), "code -1");
}

} // namespace
