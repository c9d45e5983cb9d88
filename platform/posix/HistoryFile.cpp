// The history file: one remembered line a line, appended to as lines are taken and
// written anew (under a name of its own first) when it holds too much.
#include "platform/posix/HistoryFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/LineEditor.h"
#include "platform/posix/Files.h"

namespace quvo::platform {

namespace {

// Longer lines are not worth remembering; this also bounds the history file.
constexpr size_t kMaxHistoryEntry = 4096;

// Opens the history file (creating it), readable by its owner only. Only a regular
// file of its own name is used: a link is never followed (to another file of the
// operator's, whose mode and text are not the history's to change; a hard link is
// such a file too), and a FIFO or device neither blocks the opening nor is written to.
int OpenHistoryFile(const std::string& path, int flags) {
    const int fd =
        ::open(path.c_str(), flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 || ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n, left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

HistoryFile::HistoryFile(std::string path, size_t size, std::function<bool(std::string_view line)> mayKeep)
    : m_path(std::move(path)), m_size(size), m_mayKeep(std::move(mayKeep)) {}

void HistoryFile::Load() {
    if (m_path.empty()) return;
    const size_t slash = m_path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(m_path.substr(0, slash))) {
        m_path.clear();
        return;
    }
    const int fd = OpenHistoryFile(m_path, O_RDWR | O_APPEND);
    if (fd < 0) {
        m_path.clear();  // no usable file: a history in memory only
        return;
    }
    // Read in pieces: a line longer than any kept one is skipped as it is read, so
    // that a huge file costs no more memory than a usual one.
    bool dropped = false;
    std::string pending;
    bool tooLong = false;
    const auto take = [&] {
        ++m_fileLines;
        // A file written by hand or by an older program may hold what is never kept.
        if (tooLong || pending.empty() || (m_mayKeep && !m_mayKeep(pending))) {
            dropped = true;
        } else if (m_entries.empty() || m_entries.back() != pending) {
            m_entries.push_back(std::move(pending));
            if (m_entries.size() > m_size) m_entries.pop_front();
        }
        pending.clear();
        tooLong = false;
    };
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const char* const last = chunk + n;
        for (const char* p = chunk; p < last;) {
            const char* end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(last - p)));
            const size_t length = static_cast<size_t>((end != nullptr ? end : last) - p);
            if (!tooLong && pending.size() + length > kMaxHistoryEntry) {
                tooLong = true;
                std::string().swap(pending);
            }
            if (!tooLong) pending.append(p, length);
            if (end == nullptr) break;
            take();
            p = end + 1;
        }
    }
    if (tooLong || !pending.empty()) take();  // the last line, without its line end
    ::close(fd);
    if (dropped || m_fileLines > m_size) Rewrite();
}

bool HistoryFile::Remember(const std::string& line) {
    if (line.empty() || line.size() > kMaxHistoryEntry) return false;
    if (m_mayKeep && !m_mayKeep(line)) return false;
    if (!m_entries.empty() && m_entries.back() == line) return false;
    m_entries.push_back(line);
    if (m_entries.size() > m_size) m_entries.pop_front();
    if (m_path.empty()) return true;
    // Appended at once, so that a console killed later loses nothing and two
    // consoles at once keep both their lines; trimmed when it grows too long.
    if (m_fileLines + 1 > 2 * m_size) {
        Rewrite();
        return true;
    }
    const int fd = OpenHistoryFile(m_path, O_WRONLY | O_APPEND);
    if (fd < 0) return true;
    if (WriteAll(fd, line + "\n")) ++m_fileLines;
    ::close(fd);
    return true;
}

void HistoryFile::Rewrite() {
    // The new text goes to a file of the console's own making (a stale one, or a
    // link put in its place, is removed first), which then takes the history's name.
    // Its name is the process's own, so that two consoles rewriting at once never
    // write into or rename each other's.
    const std::string temporary = m_path + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    const int fd = OpenHistoryFile(temporary, O_WRONLY | O_EXCL);
    if (fd < 0) return;
    std::string text;
    for (const std::string& entry : m_entries) text += entry + "\n";
    const bool written = WriteAll(fd, text);
    ::close(fd);
    if (written && ::rename(temporary.c_str(), m_path.c_str()) == 0) {
        m_fileLines = m_entries.size();
    } else {
        ::unlink(temporary.c_str());
    }
}

std::string DefaultHistoryPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/quvoconnect/history";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* entry = ::getpwuid(::getuid());
        home = entry != nullptr ? entry->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') return std::string();
    return std::string(home) + "/.local/state/quvoconnect/history";
}

}  // namespace quvo::platform
