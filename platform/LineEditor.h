// The terminal line editor: editing keys, history and completion for an operator
// at a terminal. Where the platform has none to offer (or the console does not run
// on a terminal) the console reads its input plainly instead.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace quvo::platform {

struct LineCompletion {
    size_t wordStart = 0;              // the word being completed: from here to the cursor
    std::string replacement;           // its new text; empty when nothing fits
    std::vector<std::string> choices;  // more than one way to go on: listed for the operator
};

struct LineEditorSettings {
    std::string prompt = "> ";
    // Longest line taken, in bytes; what is typed beyond it is dropped and the line
    // is answered as too long.
    size_t maxLineLength = 64 * 1024;
    // The history file; empty for a history kept in memory only.
    std::string historyPath;
    size_t historySize = 1000;
    // Lines for which this is false are kept neither in memory nor in the file.
    std::function<bool(std::string_view line)> mayKeep;
    // Completes the text before the cursor.
    std::function<LineCompletion(std::string_view beforeCursor)> complete;
};

class ILineEditor {
  public:
    enum class Status { Line, TooLong, End };

    virtual ~ILineEditor() = default;

    // Shows the prompt and lets the operator edit one line. While it waits,
    // unsolicited lines (base/Output.h) are printed above the edited line, which
    // is then drawn again. End: the operator ended the input (Ctrl-D on an empty line).
    virtual Status ReadLine(std::string& line) = 0;
};

// A line editor when standard input and output are both a terminal that can be
// edited on; null otherwise (pipes, files, a dumb terminal, or a platform whose
// console edits lines itself).
std::unique_ptr<ILineEditor> OpenTerminalLineEditor(LineEditorSettings settings);

// Where the history is kept by default; empty when there is no place for it.
std::string DefaultHistoryPath();

// The process's standard input for the plain mode, read in large pieces. A read
// error (the input closed, a folder, a device gone) ends the input as its end
// does, and input shared with a parent that made it non-blocking is waited for.
std::streambuf& StandardInput();

}  // namespace quvo::platform
