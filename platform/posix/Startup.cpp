#include "platform/Startup.h"

#include <clocale>
#include <cstring>

#include "platform/posix/Utf8.h"

namespace quvo::platform {

bool InitializeFramework() {
    // Narrow text is in the locale's character set; an environment that names a
    // locale the system does not have falls back to the "C" locale.
    if (!std::setlocale(LC_ALL, "")) std::setlocale(LC_ALL, "C");
    // The C (POSIX) locale's character set is taken as UTF-8, as current tools
    // do: under it (the default of services and timed jobs) ASCII would turn every
    // other caller name into '?'. Every other locale stays as it is.
    if (IsPlainCLocale()) std::setlocale(LC_CTYPE, "C.UTF-8");
    return true;
}

void InitializeApartment() {}

}  // namespace quvo::platform
