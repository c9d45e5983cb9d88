// The line editor's history: the lines remembered, oldest first, and the file they
// are kept in between consoles.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace quvo::platform {

class HistoryFile {
  public:
    // path: the file, empty for a history in memory only. size: the lines kept.
    // mayKeep (when set): false for lines kept neither in memory nor in the file.
    HistoryFile(std::string path, size_t size, std::function<bool(std::string_view line)> mayKeep);

    // Reads the file, making its folder when it is missing. A file that cannot be
    // used leaves a history in memory only; one holding what would not be kept,
    // or too many lines, is written anew.
    void Load();

    // The lines remembered, oldest first.
    const std::deque<std::string>& Entries() const { return m_entries; }

    // Remembers line, at once in the file too; false when it is not remembered (an
    // empty or overlong line, one that may not be kept, or the last one again).
    bool Remember(const std::string& line);

  private:
    void Rewrite();

    std::string m_path;
    size_t m_size;
    std::function<bool(std::string_view line)> m_mayKeep;
    std::deque<std::string> m_entries;  // the remembered lines, oldest first
    size_t m_fileLines = 0;             // lines in the file as far as known
};

}  // namespace quvo::platform
