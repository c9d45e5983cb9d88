#include "platform/SoftphoneBinding.h"

namespace quvo::platform {

// No automation backend yet: the console runs unbound and every softphone command
// answers ERROR_NOT_INITIALIZED.
std::unique_ptr<link::ISoftphone> BindSoftphone() {
    return nullptr;
}

}  // namespace quvo::platform
