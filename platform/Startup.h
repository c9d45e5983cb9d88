// Process start-up: the framework step and the automation apartment.
#pragma once

namespace quvo::platform {

// Sets the process up for the console: the locale (and with it the narrow character
// set) and, on Windows, the console's own start-up. False when that fails.
bool InitializeFramework();

// Joins the automation apartment (multithreaded) on Windows; nothing on Linux.
void InitializeApartment();

}  // namespace quvo::platform
