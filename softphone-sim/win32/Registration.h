// /RegServer and /UnregServer: the class key (with its TypeLib value, without LocalServer32, so
// that COM never starts the softphone itself) and the type library embedded in this program,
// under HKLM\Software\Classes.
#pragma once

namespace quvo::sim {

// Returns the exit status; messages go to standard error.
int RegisterServer();
int UnregisterServer();

}  // namespace quvo::sim
