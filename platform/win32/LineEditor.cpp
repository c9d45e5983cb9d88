#include "platform/LineEditor.h"

namespace quvo::platform {

// The Windows console edits lines itself (keys, history); the console reads plainly.
std::unique_ptr<ILineEditor> OpenTerminalLineEditor(LineEditorSettings) {
    return nullptr;
}

std::string DefaultHistoryPath() {
    return std::string();
}

}  // namespace quvo::platform
