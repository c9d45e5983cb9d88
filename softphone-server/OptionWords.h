// A softphone program's command line, one option at a time: "--name", "--name VALUE" and
// "--name=VALUE". The words under OptionReader.h.
#pragma once

#include <string>

namespace quvo::server {

class OptionWords {
  public:
    OptionWords(int argc, char** argv) : argc_(argc), argv_(argv) {}

    // Moves to the next option; false after the last.
    bool Next() {
        if (++index_ >= argc_) return false;
        name_ = argv_[index_];
        value_.clear();
        hasValue_ = false;
        if (name_.rfind("--", 0) == 0) {
            if (auto eq = name_.find('='); eq != std::string::npos) {
                value_ = name_.substr(eq + 1);
                name_.resize(eq);
                hasValue_ = true;
            }
        }
        return true;
    }

    // The option, without a value given with '='.
    const std::string& Name() const { return name_; }
    // The option's word as given (before Value takes a next word).
    std::string Word() const { return argv_[index_]; }

    // The option's value, given with '=' or as the next word; false (with error) when there is none.
    bool Value(std::string& value, std::string& error) {
        if (!hasValue_) {
            if (index_ + 1 >= argc_) {
                error = "option " + name_ + " needs a value";
                return false;
            }
            value_ = argv_[++index_];
        }
        value = value_;
        return true;
    }

    // An option that takes no value sets target; false (with error) when a value was given.
    bool Flag(bool& target, bool set, std::string& error) const {
        if (hasValue_) {
            error = "option " + name_ + " takes no value";
            return false;
        }
        target = set;
        return true;
    }

  private:
    int argc_;
    char** argv_;
    int index_ = 0;
    std::string name_;
    std::string value_;
    bool hasValue_ = false;
};

}  // namespace quvo::server
