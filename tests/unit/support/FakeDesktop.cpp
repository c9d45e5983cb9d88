#include "support/FakeDesktop.h"

#include "base/Text.h"

namespace quvo::test {

namespace {

std::string Quoted(const std::string& text) {
    return '"' + text + '"';
}

class FakeWindows : public platform::IWindows {
  public:
    explicit FakeWindows(std::shared_ptr<FakeDesktopState> state) : m_state(std::move(state)) {}

    platform::WindowId Find(const std::string& title) override {
        m_state->Record("Find(" + Quoted(title) + ")");
        for (size_t i = 0; i < m_state->windows.size(); ++i) {
            if (EqualsNoCase(m_state->windows[i].title, title)) return i + 1;
        }
        return 0;
    }
    bool IsMinimised(platform::WindowId window) override { return At(window).minimised; }
    void Restore(platform::WindowId window) override {
        m_state->Record("Restore(" + std::to_string(window) + ")");
        At(window).minimised = false;
    }
    void BringToFront(platform::WindowId window) override {
        m_state->Record("BringToFront(" + std::to_string(window) + ")");
    }
    void Minimise(platform::WindowId window) override {
        m_state->Record("Minimise(" + std::to_string(window) + ")");
        At(window).minimised = true;
    }

  private:
    FakeDesktopState::Window& At(platform::WindowId window) { return m_state->windows.at(window - 1); }

    std::shared_ptr<FakeDesktopState> m_state;
};

class FakeXmlDocument : public platform::XmlDocument {
  public:
    explicit FakeXmlDocument(std::shared_ptr<FakeDesktopState> state) : m_state(std::move(state)) {}

    bool Load(const std::string& url) override {
        m_state->Record("Load(" + Quoted(url) + ")");
        return m_state->loadSucceeds;
    }
    std::wstring Text() const override { return m_state->responseText; }

  private:
    std::shared_ptr<FakeDesktopState> m_state;
};

}  // namespace

std::vector<std::string> FakeDesktopState::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void FakeDesktopState::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

void FakeDesktopState::Record(std::string call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(std::move(call));
}

std::vector<std::string> FakeDesktop::ReadSettings(const std::vector<std::string>& names) {
    std::string call = "ReadSettings(";
    std::vector<std::string> values;
    for (const std::string& name : names) {
        call += (values.empty() ? "" : ",") + name;
        const auto found = m_state->settings.find(name);
        values.push_back(found == m_state->settings.end() ? std::string() : found->second);
    }
    m_state->Record(call + ")");
    return values;
}

bool FakeDesktop::Launch(const std::string& file, const std::string& parameters,
                         const std::string& directory) {
    m_state->Record("Launch(" + Quoted(file) + "," + Quoted(parameters) + "," + Quoted(directory) + ")");
    return m_state->launchAccepted;
}

std::unique_ptr<platform::IWindows> FakeDesktop::OpenWindows() {
    return std::make_unique<FakeWindows>(m_state);
}

platform::XmlDocument::CreateResult FakeDesktop::CreateXmlDocument(
    std::unique_ptr<platform::XmlDocument>& document) {
    m_state->Record("CreateXmlDocument()");
    if (m_state->createResult == platform::XmlDocument::CreateResult::Ok)
        document = std::make_unique<FakeXmlDocument>(m_state);
    return m_state->createResult;
}

}  // namespace quvo::test
