// A softphone program's command line read against the options the program names: what each
// one sets, and how a word that fits none is refused. The simulator (on both platforms) and the
// SIP phone read theirs with it, so the options they share, a missing or refused value and the
// help words are read alike; each program keeps its own options and help text. Header-only, so it
// needs no library on either platform.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "softphone-server/OptionWords.h"

namespace quvo::server {

// Run: go on with the options read; Help, Version: print that and end; Error: the error text says why.
enum class OptionResult { Run, Help, Version, Error };

// A whole decimal number from min to max; false for anything else (nothing, other characters, out of
// range).
inline bool ReadWholeNumber(const std::string& text, long min, long max, int& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return false;
    out = static_cast<int>(value);
    return true;
}

class OptionReader {
  public:
    // How a word that names no option is refused; the error text for it.
    using Refusal = std::function<std::string(const OptionWords& word)>;

    // -h and --help end the reading with Help wherever they stand.
    OptionReader() {
        Answer("-h", OptionResult::Help);
        Answer("--help", OptionResult::Help);
    }

    // The options every softphone program takes: --title TEXT (the window's title, empty allowed),
    // --no-window and --quiet.
    OptionReader& Shared(std::optional<std::string>& title, bool& window, bool& quiet) {
        Text("--title", title);
        Flag("--no-window", window, false);
        return Flag("--quiet", quiet, true);
    }

    // An option that ends the reading with result, as --help does.
    OptionReader& Answer(std::string name, OptionResult result) {
        return Add(std::move(name), [result](OptionWords&, std::string&) { return result; });
    }

    // An option without a value that sets target to set.
    OptionReader& Flag(std::string name, bool& target, bool set = true) {
        return Add(std::move(name), [&target, set](OptionWords& words, std::string& error) {
            return words.Flag(target, set, error) ? OptionResult::Run : OptionResult::Error;
        });
    }

    // An option whose value, whatever it is, goes to target.
    OptionReader& Text(std::string name, std::optional<std::string>& target) {
        return Add(std::move(name), [&target](OptionWords& words, std::string& error) {
            std::string value;
            if (!words.Value(value, error)) return OptionResult::Error;
            target = value;
            return OptionResult::Run;
        });
    }

    // An option whose value must not be empty: "NAME needs WHAT" when it is.
    OptionReader& NonEmpty(std::string name, std::string& target, std::string what) {
        return Add(std::move(name),
                   [&target, what = std::move(what)](OptionWords& words, std::string& error) {
                       std::string value;
                       if (!words.Value(value, error)) return OptionResult::Error;
                       if (value.empty()) {
                           error = words.Name() + " needs " + what;
                           return OptionResult::Error;
                       }
                       target = value;
                       return OptionResult::Run;
                   });
    }

    // An option whose value read takes (and stores); "NAME needs WHAT, not 'VALUE'" when read
    // refuses it.
    OptionReader& Value(std::string name, std::string what, std::function<bool(const std::string&)> read) {
        return Add(std::move(name),
                   [what = std::move(what), read = std::move(read)](OptionWords& words, std::string& error) {
                       std::string value;
                       if (!words.Value(value, error)) return OptionResult::Error;
                       if (!read(value)) {
                           error = words.Name() + " needs " + what + ", not '" + value + "'";
                           return OptionResult::Error;
                       }
                       return OptionResult::Run;
                   });
    }

    // An option whose value is a whole number from min to max.
    OptionReader& Number(std::string name, long min, long max, int& target, std::string what) {
        return Value(std::move(name), std::move(what), [min, max, &target](const std::string& value) {
            return ReadWholeNumber(value, min, max, target);
        });
    }

    // Replaces the refusal of a word that names no option: "unknown option 'NAME' (see --help)".
    OptionReader& Unknown(Refusal refusal) {
        unknown_ = std::move(refusal);
        return *this;
    }

    // Reads the words after the program's name, in order, up to the first that ends the reading.
    OptionResult Read(int argc, char** argv, std::string& error) const {
        OptionWords words(argc, argv);
        while (words.Next()) {
            auto option = std::find_if(options_.begin(), options_.end(),
                                       [&](const Option& o) { return o.name == words.Name(); });
            if (option == options_.end()) {
                error = unknown_(words);
                return OptionResult::Error;
            }
            if (OptionResult result = option->read(words, error); result != OptionResult::Run) return result;
        }
        return OptionResult::Run;
    }

  private:
    // Reads the option's value, if it takes one; Run to go on with the next word.
    using Reading = std::function<OptionResult(OptionWords& words, std::string& error)>;
    struct Option {
        std::string name;
        Reading read;
    };

    OptionReader& Add(std::string name, Reading read) {
        options_.push_back({std::move(name), std::move(read)});
        return *this;
    }

    std::vector<Option> options_;
    Refusal unknown_ = [](const OptionWords& word) {
        return "unknown option '" + word.Name() + "' (see --help)";
    };
};

}  // namespace quvo::server
