#include "console/CommandLoop.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/AutomationError.h"
#include "base/Output.h"
#include "base/Text.h"
#include "console/CommandTokenizer.h"
#include "console/Completion.h"
#include "console/LineInput.h"
#include "link/SoftphoneControl.h"
#include "platform/LineEditor.h"
#include "platform/Startup.h"

namespace quvo {

namespace {

// The one control object of the run; never destroyed.
link::CSoftphoneControl* g_pSoftphoneControl = nullptr;

constexpr const char* kRule = "-----------------------------------------------\n";

// The terminal line editor, when the console's input and output are a terminal
// that can be edited on (the line editor reads the terminal itself, so only for
// the process's own standard input).
std::unique_ptr<platform::ILineEditor> OpenLineEditor(const std::istream& input) {
    if (input.rdbuf() != std::cin.rdbuf()) return nullptr;
    platform::LineEditorSettings settings;
    settings.prompt = "> ";
    settings.maxLineLength = kMaxLineLength;
    settings.historyPath = platform::DefaultHistoryPath();
    settings.mayKeep = &MayKeepInHistory;
    settings.complete = [](std::string_view beforeCursor) {
        const CompletionResult result = Complete(beforeCursor);
        return platform::LineCompletion{result.wordStart, result.replacement, result.choices};
    };
    return platform::OpenTerminalLineEditor(std::move(settings));
}

LineStatus ReadFromEditor(platform::ILineEditor& editor, std::string& line) {
    switch (editor.ReadLine(line)) {
        case platform::ILineEditor::Status::Line: return LineStatus::Line;
        case platform::ILineEditor::Status::TooLong: return LineStatus::TooLong;
        case platform::ILineEditor::Status::End: break;
    }
    return LineStatus::End;
}

bool IsBlank(const std::string& line) {
    for (char c : line) {
        if (!IsTrimSpace(c)) return false;
    }
    return true;
}

bool IsQuit(const std::string& line) {
    CCommandTokenizer words;
    words.Tokenize(line);
    return EqualsNoCase(words.Word(0), "Quit");
}

// Runs one command line: nothing when it succeeded, otherwise what follows
// "Error : " in its answer (the result code's name or the automation failure).
std::optional<std::string> Execute(const std::string& line) {
    ResultCode code = SUCCESS;
    try {
        code = g_pSoftphoneControl->ExecuteCommand(line);
    } catch (const link::CAutomationError& error) {
        return error.Describe();
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
    if (code == SUCCESS) return std::nullopt;
    return g_pSoftphoneControl->GetResultCodeName(code);
}

[[noreturn]] void End(const ConsoleOptions& options, std::unique_ptr<platform::ILineEditor> editor,
                      int status) {
    // The terminal is handed back (Ctrl-C ends the program again) before lingering;
    // events keep coming from the other threads meanwhile.
    editor.reset();
    if (options.linger.count() > 0) std::this_thread::sleep_for(options.linger);
    std::exit(status);
}

}  // namespace

void PrintBanner() {
    quvo::Print("%s", kRule);
    quvo::Print("QUVOConnect Program v.1.0.\n");
    quvo::Print("Copyright (c) 2026 Quelbo. All rights reserved.\n");
    quvo::Print("Type 'help' for available commands.\n");
    quvo::Print("%s", kRule);
    quvo::Print("\n");
}

int RunConsole(bool (*initializeFramework)(), std::istream& input,
               const std::function<link::CSoftphoneControl::Options()>& platformOptions,
               const ConsoleOptions& options) {
    if (!initializeFramework()) {
        quvo::Print("Fatal Error: MFC initialization failed \n");
        return 1;
    }
    // The mode is chosen here, once: script, terminal line editor, or plain lines.
    std::unique_ptr<platform::ILineEditor> editor = options.script ? nullptr : OpenLineEditor(input);
    const bool printPrompts = !options.script && !editor;
    // Where no prompt waits after an event line, none is printed after it.
    quvo::SetEventStyle({.prompt = printPrompts, .timestamps = options.timestamps});
    const char* const errorPrefix = options.script ? "Error : " : "> Error : ";

    if (!options.script) PrintBanner();
    platform::InitializeApartment();
    g_pSoftphoneControl = new link::CSoftphoneControl(platformOptions());

    bool allSucceeded = true;
    std::string line;
    for (;;) {
        if (printPrompts) quvo::Write("> ");
        const LineStatus status = editor ? ReadFromEditor(*editor, line) : ReadCappedLine(input, line);
        if (status == LineStatus::End) {
            End(options, std::move(editor), options.script && !allSucceeded ? 1 : 0);
        }
        if (status == LineStatus::TooLong) {
            allSucceeded = false;
            const std::string name = g_pSoftphoneControl->GetResultCodeName(ERROR_INVALID_COMMAND);
            quvo::Print("%s%s\n", errorPrefix, name.c_str());
            continue;
        }
        if (options.script) {
            if (IsBlank(line)) continue;
            if (IsQuit(line)) {
                quvo::Write("OK\n");
                std::exit(allSucceeded ? 0 : 1);
            }
        }
        const std::optional<std::string> failure = Execute(line);
        if (failure) {
            allSucceeded = false;
            quvo::Print("%s%s\n", errorPrefix, failure->c_str());
        } else if (options.script) {
            quvo::Write("OK\n");
        }
    }
}

}  // namespace quvo
