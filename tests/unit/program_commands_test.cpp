// RunProgram, ExitProgram, ShowProgram and HideProgram against the fake desktop.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

using Calls = std::vector<std::string>;

struct RunCase {
    const char* folder;  // null: the value is missing
    const char* file;
    ResultCode result;
    const char* launch;  // the Launch call expected, null for none
};

TEST(RunProgram, JoinsTrimsAndLaunches) {
    const RunCase cases[] = {
        {"C:\\Apps\\Phone\\", "phone.exe", SUCCESS,
         R"(Launch("C:\Apps\Phone\phone.exe","","C:\Apps\Phone\"))"},
        {"C:\\Apps\\Phone", "phone.exe", SUCCESS, R"(Launch("C:\Apps\Phone/phone.exe","","C:\Apps\Phone"))"},
        {"/opt/q/", "phone", SUCCESS, R"(Launch("/opt/q/phone","","/opt/q/"))"},
        // Trailing white space goes, leading white space stays part of the path.
        {" /opt/q/ \t ", " phone  ", SUCCESS, R"(Launch(" /opt/q/ phone",""," /opt/q/"))"},
        {nullptr, "phone", ERROR_PHONE_NOT_FOUND, nullptr},
        {"/opt/q", nullptr, ERROR_PHONE_NOT_FOUND, nullptr},
        {"   ", "phone", ERROR_PHONE_NOT_FOUND, nullptr},
        {"/opt/q", "\t", ERROR_PHONE_NOT_FOUND, nullptr},
    };
    for (const RunCase& c : cases) {
        auto desktop = std::make_shared<FakeDesktopState>();
        if (c.folder) desktop->settings["sExePath"] = c.folder;
        if (c.file) desktop->settings["sExeFileName"] = c.file;
        FakeControl fake = MakeFakeControl(FakeControlOptions().On(desktop));
        EXPECT_EQ(fake.Run("RunProgram extra words"), c.result) << (c.folder ? c.folder : "(none)");
        Calls expected = {"ReadSettings(sExeFileName,sExePath)"};
        if (c.launch) expected.push_back(c.launch);
        EXPECT_EQ(desktop->Calls(), expected);
        EXPECT_EQ(fake.phone->CommandCalls(), Calls{});
    }
}

TEST(RunProgram, RefusedLaunchIsPhoneNotFound) {
    auto desktop = std::make_shared<FakeDesktopState>();
    desktop->settings = {{"sExePath", "/opt/q"}, {"sExeFileName", "phone"}};
    desktop->launchAccepted = false;
    FakeControl fake = MakeFakeControl(FakeControlOptions().NotRunning().On(desktop));
    EXPECT_EQ(fake.Run("RunProgram"), ERROR_PHONE_NOT_FOUND);
}

class ShowProgram : public testing::Test {
  protected:
    ResultCode Run(const std::string& line) {
        FakeControl fake = MakeFakeControl(FakeControlOptions().On(m_desktop));
        const ResultCode code = fake.Run(line);
        EXPECT_EQ(fake.phone->CommandCalls(), Calls{});  // the softphone itself is never asked
        return code;
    }
    std::shared_ptr<FakeDesktopState> m_desktop = std::make_shared<FakeDesktopState>();
};

TEST_F(ShowProgram, RestoresOnlyAMinimisedWindowThenBringsItToFront) {
    m_desktop->settings["sPhoneOnline"] = "My Phone";
    m_desktop->windows = {{"Other", false}, {"My Phone", true}};
    EXPECT_EQ(Run("ShowProgram"), SUCCESS);
    EXPECT_EQ(Run("ShowProgram"), SUCCESS);
    EXPECT_EQ(m_desktop->Calls(),
              (Calls{"ReadSettings(sPhoneOnline)", R"(Find("My Phone"))", "Restore(2)", "BringToFront(2)",
                     "ReadSettings(sPhoneOnline)", R"(Find("My Phone"))", "BringToFront(2)"}));
}

TEST_F(ShowProgram, HideMinimises) {
    m_desktop->settings["sPhoneOnline"] = "My Phone";
    m_desktop->windows = {{"My Phone", false}};
    EXPECT_EQ(Run("HideProgram"), SUCCESS);
    EXPECT_TRUE(m_desktop->windows[0].minimised);
    EXPECT_EQ(m_desktop->Calls().back(), "Minimise(1)");
}

TEST_F(ShowProgram, UnknownOrMissingTitleFallsBackToTheDefault) {
    m_desktop->windows = {{"Dorevirud Uvazed", true}};
    m_desktop->settings["sPhoneOnline"] = "No Such Window";
    EXPECT_EQ(Run("HideProgram"), SUCCESS);
    EXPECT_EQ(m_desktop->Calls(), (Calls{"ReadSettings(sPhoneOnline)", R"(Find("No Such Window"))",
                                         R"(Find("Dorevirud Uvazed"))", "Minimise(1)"}));
    m_desktop->settings.clear();
    EXPECT_EQ(Run("ShowProgram"), SUCCESS);
    EXPECT_EQ(m_desktop->Calls().back(), "BringToFront(1)");
    EXPECT_EQ(m_desktop->Calls()[5], R"(Find("Dorevirud Uvazed"))");
}

TEST_F(ShowProgram, NoWindowIsSuccessWithoutEffect) {
    EXPECT_EQ(Run("ShowProgram"), SUCCESS);
    EXPECT_EQ(Run("HideProgram"), SUCCESS);
    for (const std::string& call : m_desktop->Calls())
        EXPECT_TRUE(call.rfind("ReadSettings", 0) == 0 || call.rfind("Find", 0) == 0) << call;
}

}  // namespace
}  // namespace quvo::test
