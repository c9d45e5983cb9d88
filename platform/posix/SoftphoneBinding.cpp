#include "platform/SoftphoneBinding.h"

namespace quvo::platform {

std::unique_ptr<link::ISoftphone> BindSoftphone() { return nullptr; }

}  // namespace quvo::platform
