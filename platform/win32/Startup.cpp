#include "platform/Startup.h"

#include <objbase.h>

#include <clocale>

namespace quvo::platform {

bool InitializeFramework() {
    // The console's own start-up: the C runtime takes the system's locale, so that
    // narrow text is in the ANSI code page like everything the console exchanges.
    if (!std::setlocale(LC_ALL, "")) std::setlocale(LC_ALL, "C");
    return true;
}

void InitializeApartment() {
    // The main thread joins the multithreaded apartment; the result does not matter
    // (a second call in the same thread answers S_FALSE), and COM stays up for the run.
    (void)::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

}  // namespace quvo::platform
