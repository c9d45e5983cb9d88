// The desktop around the softphone, as the program-control and Extension Mobility
// commands use it: the softphone's settings, launching its program, its main
// window and the HTTP+XML request. The console holds one such object; MakeDesktop
// gives the platform's own, tests give a fake.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Window.h"
#include "platform/XmlDocument.h"

namespace quvo::platform {

// The top-level windows for the length of one command.
class IWindows {
  public:
    virtual ~IWindows() = default;
    // First top-level window whose whole title equals title, ignoring case; 0 for none.
    virtual WindowId Find(const std::string& title) = 0;
    virtual bool IsMinimised(WindowId window) = 0;
    virtual void Restore(WindowId window) = 0;
    virtual void BringToFront(WindowId window) = 0;
    virtual void Minimise(WindowId window) = 0;
};

class IDesktop {
  public:
    virtual ~IDesktop() = default;

    // The named values of the softphone's settings key, in the order asked for. The
    // key is opened (created, empty, when missing) once for the call and closed
    // again; a value that is missing or cannot be read comes back empty.
    virtual std::vector<std::string> ReadSettings(const std::vector<std::string>& names) = 0;

    // Starts file (with parameters) in directory without waiting for it; true when
    // the launch was accepted.
    virtual bool Launch(const std::string& file, const std::string& parameters,
                        const std::string& directory) = 0;

    virtual std::unique_ptr<IWindows> OpenWindows() = 0;

    // A document for one synchronous HTTP GET whose answer is read as XML.
    virtual XmlDocument::CreateResult CreateXmlDocument(std::unique_ptr<XmlDocument>& document) = 0;
};

// The desktop of this platform: the settings key, the program launcher, the window
// system and the XML document loader.
std::unique_ptr<IDesktop> MakeDesktop();

}  // namespace quvo::platform
