// The platform's desktop: the settings key, the launcher, the window system and the
// XML document loader behind one interface.
#include "platform/Desktop.h"

#include "platform/Launch.h"
#include "platform/RegistryKey.h"

namespace quvo::platform {

namespace {

class PlatformWindows : public IWindows {
  public:
    WindowId Find(const std::string& title) override { return m_windows.Find(title); }
    bool IsMinimised(WindowId window) override { return m_windows.IsMinimised(window); }
    void Restore(WindowId window) override { m_windows.Restore(window); }
    void BringToFront(WindowId window) override { m_windows.BringToFront(window); }
    void Minimise(WindowId window) override { m_windows.Minimise(window); }

  private:
    WindowSystem m_windows;
};

class PlatformDesktop : public IDesktop {
  public:
    std::vector<std::string> ReadSettings(const std::vector<std::string>& names) override {
        CRegistryKey key;
        std::vector<std::string> values(names.size());
        for (size_t i = 0; i < names.size(); ++i) key.ReadString(names[i], values[i]);
        return values;
    }

    bool Launch(const std::string& file, const std::string& parameters,
                const std::string& directory) override {
        return LaunchProgram(file, parameters, directory);
    }

    std::unique_ptr<IWindows> OpenWindows() override { return std::make_unique<PlatformWindows>(); }

    XmlDocument::CreateResult CreateXmlDocument(std::unique_ptr<XmlDocument>& document) override {
        return XmlDocument::Create(document);
    }
};

}  // namespace

std::unique_ptr<IDesktop> MakeDesktop() {
    return std::make_unique<PlatformDesktop>();
}

}  // namespace quvo::platform
