// Splits one command line into at most ten words, honouring double quotes.
#pragma once

#include <string>

namespace quvo {

class CCommandTokenizer {
  public:
    static constexpr int kSlots = 10;

    CCommandTokenizer() = default;
    virtual ~CCommandTokenizer() = default;

    // Fills the word slots from line: slot 0 the command word, slots 1 to 9 its
    // arguments; words past the tenth are ignored. Unfilled slots stay empty.
    void Tokenize(std::string line);

    const std::string& Word(int slot) const { return m_words[slot]; }

  private:
    std::string m_words[kSlots];
};

}  // namespace quvo
