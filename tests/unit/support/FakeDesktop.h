// An in-process desktop for tests: settings from a map, a launcher that accepts or
// refuses, windows from a list and an XML request with a chosen outcome. Every
// operation is recorded as a readable string, e.g. Launch("/opt/q/phone","","/opt/q").
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Desktop.h"

namespace quvo::test {

// What the fake desktop holds and saw; shared between the fake (owned by the
// control object) and the test.
struct FakeDesktopState {
    struct Window {
        std::string title;
        bool minimised = false;
    };

    std::map<std::string, std::string> settings;  // missing name: the value cannot be read
    bool launchAccepted = true;
    std::vector<Window> windows;  // WindowId is the index plus one
    platform::XmlDocument::CreateResult createResult = platform::XmlDocument::CreateResult::Ok;
    bool loadSucceeds = true;
    std::wstring responseText;

    std::vector<std::string> Calls() const;
    void ClearCalls();
    void Record(std::string call);

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

class FakeDesktop : public platform::IDesktop {
  public:
    explicit FakeDesktop(std::shared_ptr<FakeDesktopState> state) : m_state(std::move(state)) {}

    std::vector<std::string> ReadSettings(const std::vector<std::string>& names) override;
    bool Launch(const std::string& file, const std::string& parameters,
                const std::string& directory) override;
    std::unique_ptr<platform::IWindows> OpenWindows() override;
    platform::XmlDocument::CreateResult CreateXmlDocument(
        std::unique_ptr<platform::XmlDocument>& document) override;

  private:
    std::shared_ptr<FakeDesktopState> m_state;
};

}  // namespace quvo::test
