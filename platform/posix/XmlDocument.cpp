#include "platform/XmlDocument.h"

namespace quvo::platform {

XmlDocument::CreateResult XmlDocument::Create(std::unique_ptr<XmlDocument>&) { return CreateResult::CreateFailed; }

}  // namespace quvo::platform
