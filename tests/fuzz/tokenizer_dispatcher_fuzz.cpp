// Feeds arbitrary bytes, as one command line, to the tokenizer and then to the
// dispatcher of a control object bound to the in-process fake softphone, on the
// fake desktop.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/AutomationError.h"
#include "base/Output.h"
#include "base/Text.h"
#include "console/CommandTokenizer.h"
#include "console/ResultCodes.h"
#include "support/FakeSoftphone.h"

namespace {

using quvo::CCommandTokenizer;

void Check(bool condition, const char* invariant, const std::string& line) {
    if (condition) return;
    std::fprintf(stderr, "broken invariant: %s\nline (%zu bytes): %s\n", invariant, line.size(),
                 line.c_str());
    std::abort();
}

// The line as the tokenizer separates it: trimmed, one blank appended, and every
// run of blanks shrunk to a single blank.
std::string Normalised(const std::string& line) {
    std::string text = quvo::Trim(line) + ' ';
    std::string out;
    for (char c : text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    return out;
}

void CheckWords(const std::string& line, const CCommandTokenizer& words) {
    const std::string normal = Normalised(line);
    const bool hasQuote = line.find('"') != std::string::npos;

    Check(words.Word(0).find(' ') == std::string::npos, "the command word holds a blank", line);
    for (int slot = 0; slot < CCommandTokenizer::kSlots; ++slot) {
        const std::string& word = words.Word(slot);
        Check(word.find("  ") == std::string::npos, "a word holds a run of blanks", line);
        Check(word.find(' ') == std::string::npos || hasQuote, "a blank inside an unquoted word", line);
        Check(word.empty() || normal.find(word) != std::string::npos, "a word that is not part of the line",
              line);
    }

    // Without double quotes the words are exactly the blank-separated pieces of
    // the line, the first ten of them.
    if (!hasQuote) {
        std::vector<std::string> pieces;
        for (size_t start = 0, blank; (blank = normal.find(' ', start)) != std::string::npos;
             start = blank + 1)
            pieces.push_back(normal.substr(start, blank - start));
        for (int slot = 0; slot < CCommandTokenizer::kSlots; ++slot) {
            const std::string expected = static_cast<size_t>(slot) < pieces.size() ? pieces[slot] : "";
            Check(words.Word(slot) == expected, "an unquoted line split differently", line);
        }
    }

    CCommandTokenizer again;
    again.Tokenize(line);
    for (int slot = 0; slot < CCommandTokenizer::kSlots; ++slot)
        Check(again.Word(slot) == words.Word(slot), "tokenizing the same line twice differs", line);
}

struct Harness {
    quvo::test::FakeControl fake;
};

Harness* g_harness = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A desktop where every program command finds what it looks for: the program,
    // its window (minimised) and an Extension Mobility service that accepts.
    auto desktop = std::make_shared<quvo::test::FakeDesktopState>();
    desktop->settings = {{"sExePath", "/opt/quvo"},
                         {"sExeFileName", "phone"},
                         {"sPhoneOnline", "Phone"},
                         {"IpAddress", "cm"},
                         {"sDeviceName", "SEP01"}};
    desktop->windows = {{"Phone", true}};
    desktop->responseText = L"Login successful; logout successful";

    quvo::SetOutputSink([](std::string_view) {});
    g_harness = new Harness{quvo::test::MakeFakeControl(quvo::test::FakeControlOptions().On(desktop))};
    // A refused first key ends DTMF before its 200 ms pauses could slow the run.
    g_harness->fake.phone->FailOn("SendDtmf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);

    CCommandTokenizer words;
    words.Tokenize(line);
    CheckWords(line, words);

    // Quit would end the process.
    if (quvo::EqualsNoCase(words.Word(0), "quit")) return 0;
    quvo::test::FakeControl& fake = g_harness->fake;
    fake.phone->ClearCalls();
    fake.desktop->ClearCalls();
    try {
        const quvo::ResultCode code = fake.Run(line);
        Check(code == quvo::SUCCESS || quvo::ResultCodeName(code).rfind("ERROR_", 0) == 0,
              "a command returned a code without a name", line);
        Check(code != quvo::ERROR_INVALID_COMMAND ||
                  (fake.phone->CommandCalls().empty() && fake.desktop->Calls().empty()),
              "an unrecognised command reached the softphone or the desktop", line);
    } catch (const quvo::link::CAutomationError&) {
        // A refused operation without a code of its own: the command loop reports it.
    }
    return 0;
}
