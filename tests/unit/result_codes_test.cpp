#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

#include "console/ResultCodes.h"
#include "support/FakeSoftphone.h"

namespace quvo {
namespace {

TEST(ResultCodes, NamedCodes) {
    const std::pair<ResultCode, const char*> named[] = {
        {0, "SUCCESS"},
        {87, "ERROR_INVALID_PARAMETER"},
        {101, "ERROR_NOT_INITIALIZED"},
        {102, "ERROR_PHONE_NOT_RUNNING"},
        {103, "ERROR_INVALID_COMMAND"},
        {104, "ERROR_NO_DESTINATION"},
        {105, "ERROR_MAKE_CALL"},
        {106, "ERROR_NO_CALL"},
        {107, "ERROR_NO_INCOMING_CALL"},
        {108, "ERROR_PHONE_NOT_FOUND"},
        {109, "ERROR_MISSING_PARAMETER"},
        {110, "ERROR_TRANSFER"},
        {111, "ERROR_CONFERENCE"},
        {113, "ERROR_CREATE_XML_OBJECT_FAILED"},
        {114, "ERROR_CREATE_DOM_OBJECT_FAILED"},
        {115, "ERROR_EM_REQUEST_FAILED"},
        {116, "ERROR_EM_ANOTHER_USER_LOGGED_ON"},
        {117, "ERROR_EM_DEVICE_NOT_CONFIGURED"},
        {118, "ERROR_EM_UNKNOWN_DEVICE"},
        {119, "ERROR_EM_INVALID_CREDENTIALS"},
        {120, "ERROR_EM_UNKNOWN_RESPONSE"},
        {121, "ERROR_IPCC_LOGIN"},
        {123, "ERROR_IPCC_CHANGE_STATE"},
        {124, "ERROR_IPCC_INVALID_STATE"},
    };
    for (const auto& [code, name] : named) EXPECT_EQ(ResultCodeName(code), name) << code;
}

TEST(ResultCodes, UnnamedCodesUseTheFallback) {
    for (ResultCode code : {1, 86, 88, 100, 112, 122, 125, 1000, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ(ResultCodeName(code), "Unkown error code (" + std::to_string(code) + ")") << code;
}

TEST(ResultCodes, ControlNamesCodesTheSameWay) {
    test::FakeControl fake = test::MakeFakeControl(test::FakeControlOptions().Unbound());
    EXPECT_EQ(fake.control->GetResultCodeName(103), "ERROR_INVALID_COMMAND");
    EXPECT_EQ(fake.control->GetResultCodeName(112), "Unkown error code (112)");
}

}  // namespace
}  // namespace quvo
