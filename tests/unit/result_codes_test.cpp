#include <gtest/gtest.h>

#include "console/ResultCodes.h"

namespace quvo {
namespace {

TEST(ResultCodes, NamedCodes) {
    EXPECT_EQ(ResultCodeName(0), "SUCCESS");
    EXPECT_EQ(ResultCodeName(87), "ERROR_INVALID_PARAMETER");
    EXPECT_EQ(ResultCodeName(101), "ERROR_NOT_INITIALIZED");
    EXPECT_EQ(ResultCodeName(124), "ERROR_IPCC_INVALID_STATE");
}

TEST(ResultCodes, UnnamedCodesUseTheFallback) {
    EXPECT_EQ(ResultCodeName(112), "Unkown error code (112)");
    EXPECT_EQ(ResultCodeName(122), "Unkown error code (122)");
    EXPECT_EQ(ResultCodeName(-1), "Unkown error code (-1)");
    EXPECT_EQ(ResultCodeName(INT32_MIN), "Unkown error code (-2147483648)");
}

}  // namespace
}  // namespace quvo
