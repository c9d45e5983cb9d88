// Splits one command line into at most ten words, honouring double quotes.
//
// The grammar: the line is trimmed of white space at both ends and every run of
// blanks in it (inside quotes too) counts as one blank. Only the blank separates
// words; a tab inside the line belongs to a word. Words are read left to right:
// - The first word is never read as a quoted word: it runs to the next blank, and
//   loses its quotes only when it both begins and ends with one ("Hold" is Hold).
// - A later word whose first character is a double quote runs up to the next
//   double quote and is stored without its quotes; it may hold blanks, and "" is
//   an empty word that still takes its slot. Any text between the closing quote
//   and the next blank is skipped.
// - A quote that is never closed drops that word and everything after it.
// - Any other word runs to the next blank; quotes inside it are kept.
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
