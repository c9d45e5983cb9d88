// Window control by title and program launch through the shell.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Launch.h"
#include "platform/Window.h"

namespace quvo::platform {
namespace {

class WindowSystemTest : public testing::Test {
  protected:
    void SetUp() override {
        m_title = "QUVO Window Test " + std::to_string(::GetCurrentProcessId());
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = ::DefWindowProcA;
        windowClass.hInstance = ::GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "QuvoWindowTest";
        ::RegisterClassA(&windowClass);  // already registered by an earlier test: fine
        m_window = ::CreateWindowExA(0, "QuvoWindowTest", m_title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                     100, nullptr, nullptr, windowClass.hInstance, nullptr);
        ASSERT_NE(m_window, nullptr);
        ::ShowWindow(m_window, SW_SHOWNORMAL);
    }

    void TearDown() override {
        if (m_window) ::DestroyWindow(m_window);
    }

    WindowId Id() const { return reinterpret_cast<WindowId>(m_window); }

    std::string m_title;
    HWND m_window = nullptr;
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(WindowSystemTest, FindsTheWholeTitleIgnoringCase) {
    WindowSystem windows;
    EXPECT_EQ(windows.Find(m_title), Id());
    EXPECT_EQ(windows.Find(Upper(m_title)), Id());
    EXPECT_EQ(windows.Find(m_title.substr(0, m_title.size() - 1)), 0u);
    EXPECT_EQ(windows.Find(m_title + " "), 0u);
}

TEST_F(WindowSystemTest, MinimisesRestoresAndBringsToFront) {
    WindowSystem windows;
    EXPECT_FALSE(windows.IsMinimised(Id()));
    windows.Minimise(Id());
    EXPECT_TRUE(windows.IsMinimised(Id()));
    EXPECT_TRUE(::IsWindowVisible(m_window)) << "minimised, never hidden";
    windows.Restore(Id());
    EXPECT_FALSE(windows.IsMinimised(Id()));
    windows.BringToFront(Id());
}

TEST_F(WindowSystemTest, AVanishedWindowIsHarmless) {
    WindowSystem windows;
    const WindowId id = windows.Find(m_title);
    ASSERT_EQ(id, Id());
    ::DestroyWindow(m_window);
    m_window = nullptr;
    EXPECT_EQ(windows.Find(m_title), 0u);
    EXPECT_FALSE(windows.IsMinimised(id));
    windows.Restore(id);
    windows.BringToFront(id);
    windows.Minimise(id);
    EXPECT_FALSE(windows.IsMinimised(0));
}

std::string SystemDirectory() {
    char path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    return std::string(path, length);
}

TEST(Launch, StartsAProgramAndRefusesAMissingOne) {
    const std::string folder = SystemDirectory();
    EXPECT_TRUE(LaunchProgram(folder + "\\cmd.exe", "/c exit 0", folder));
    // The console joins folder and file with a forward slash.
    EXPECT_TRUE(LaunchProgram(folder + "/cmd.exe", "", folder + "\\"));
    EXPECT_FALSE(LaunchProgram(folder + "\\quvo-no-such-program.exe", "", folder));
}

}  // namespace
}  // namespace quvo::platform
