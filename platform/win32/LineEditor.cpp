#include "platform/LineEditor.h"

#include <iostream>

namespace quvo::platform {

// The Windows console edits lines itself (keys, history); the console reads plainly.
std::unique_ptr<ILineEditor> OpenTerminalLineEditor(LineEditorSettings) {
    return nullptr;
}

std::string DefaultHistoryPath() {
    return std::string();
}

// The C runtime's standard input, as the console has always read it there.
std::streambuf& StandardInput() {
    return *std::cin.rdbuf();
}

}  // namespace quvo::platform
