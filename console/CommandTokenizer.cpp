#include "console/CommandTokenizer.h"

#include <algorithm>

#include "base/Text.h"

namespace quvo {

void CCommandTokenizer::Tokenize(std::string line) {
    line = Trim(line);
    line += ' ';
    // Every run of blanks, inside quotes too, shrinks to one blank.
    line.erase(std::unique(line.begin(), line.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
               line.end());

    int slot = 0;
    size_t separator = std::string::npos;  // the position before the next word: -1
    bool quoted = false;
    for (;;) {
        const size_t start = (separator == std::string::npos ? 0 : separator + 1) + (quoted ? 1 : 0);
        if (start > line.size()) return;
        const size_t end = line.find(quoted ? '"' : ' ', start);
        if (end == std::string::npos) return;

        std::string word = line.substr(start, end - start);
        if (!word.empty() && word.front() == '"' && word.back() == '"')
            word = word.size() >= 2 ? word.substr(1, word.size() - 2) : std::string();
        if (slot < kSlots) m_words[slot++] = word;
        if (slot == kSlots) return;

        const size_t next = line.find(' ', end);
        if (next == std::string::npos) return;

        // The rest of the line from that separator on, without its leading white
        // space: a double quote at its start opens a quoted word.
        size_t restStart = next;
        while (restStart < line.size() && IsTrimSpace(line[restStart])) ++restStart;
        quoted = restStart < line.size() && line[restStart] == '"';
        separator = next;
    }
}

}  // namespace quvo
