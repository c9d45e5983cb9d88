#include "platform/Startup.h"

#include <clocale>

namespace quvo::platform {

bool InitializeFramework() {
    // Narrow text is in the locale's character set; an environment that names a
    // locale the system does not have falls back to the "C" locale.
    if (!std::setlocale(LC_ALL, "")) std::setlocale(LC_ALL, "C");
    return true;
}

void InitializeApartment() {}

}  // namespace quvo::platform
