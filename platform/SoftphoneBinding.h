// Binding to the running softphone's automation object.
#pragma once

#include <memory>

#include "base/ISoftphone.h"

namespace quvo::platform {

// Binds to the softphone's automation object. Null when there is no softphone to
// bind to (no bus, no owner of the name, no registered class). The returned object
// may also implement link::IEventSource when the softphone offers its events.
std::unique_ptr<link::ISoftphone> BindSoftphone();

}  // namespace quvo::platform
