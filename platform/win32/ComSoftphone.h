// The softphone's automation object reached through COM.
#pragma once

#include <memory>

#include "QUVO.h"
#include "base/ISoftphone.h"

namespace quvo::platform::win32 {

// Wraps a softphone object (takes a reference of its own) as the console's
// ISoftphone, also offering its events (link::IEventSource) through the object's
// connection point. BindSoftphone() uses it for the object it activates.
std::unique_ptr<link::ISoftphone> WrapSoftphone(::ISoftphone* softphone);

}  // namespace quvo::platform::win32
