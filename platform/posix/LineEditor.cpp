// The terminal line editor on libedit.
//
// Only the main thread touches libedit and, while a line is edited, the terminal:
// unsolicited lines from other threads are held by the output writer, which wakes
// the editor through a pipe; the editor's character reader then clears the edited
// line from the screen, prints the held lines and lets libedit draw the prompt and
// the line again below them. Ctrl-C (SIGINT) wakes the reader the same way and is
// turned into a key that abandons the line.
#include "platform/LineEditor.h"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

#include "base/Output.h"
#include "platform/posix/HistoryFile.h"

namespace quvo::platform {

namespace {

// The key that the reader hands to libedit for Ctrl-C. With the terminal's own
// signal keys on, Ctrl-C never arrives as a character; the signal stands in for it.
constexpr wchar_t kInterruptKey = L'\003';

// The largest terminal, in rows and in columns, that the editor draws on. It keeps
// copies of the whole screen: a terminal that claims to be huge (a broken emulator,
// a size set on a pseudo-terminal by anyone) would have it take gigabytes, or fail
// it outright. On a larger one lines are read as the terminal itself edits them.
constexpr unsigned kMaxTerminalSide = 1000;

bool TerminalSizeFits() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO}) {
        winsize size{};
        if (::ioctl(fd, TIOCGWINSZ, &size) == 0 &&
            (size.ws_row > kMaxTerminalSide || size.ws_col > kMaxTerminalSide)) {
            return false;
        }
    }
    return true;
}

// Set by the signal handlers (on whichever thread the signal lands), read by the
// main thread's character reader. Lock-free atomics: safe in a handler and across threads.
std::atomic<int> g_wakeWriteFd{-1};
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_resized{false};
std::atomic<bool> g_continued{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void OnSignal(int signo) {
    const int savedErrno = errno;
    if (signo == SIGINT) g_interrupted = true;
    if (signo == SIGWINCH) g_resized = true;
    if (signo == SIGCONT) g_continued = true;
    const int fd = g_wakeWriteFd.load();
    if (fd >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

std::string Narrow(const wchar_t* begin, const wchar_t* end) {
    std::string text;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const wchar_t* p = begin; p < end; ++p) {
        const size_t n = std::wcrtomb(bytes, *p, &state);
        if (n == static_cast<size_t>(-1)) {
            text.push_back('?');
            state = std::mbstate_t{};
        } else {
            text.append(bytes, n);
        }
    }
    return text;
}

// Characters (not bytes) in a narrow text.
int CharacterCount(const std::string& text) {
    std::mbstate_t state{};
    int count = 0;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const size_t n = std::mbrlen(p, left, &state);
        if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            state = std::mbstate_t{};
            ++p, --left;
        } else {
            p += n, left -= n;
        }
        ++count;
    }
    return count;
}

class CLibeditLineEditor final : public ILineEditor {
  public:
    explicit CLibeditLineEditor(LineEditorSettings settings)
        : m_settings(std::move(settings)),
          m_historyFile(m_settings.historyPath, m_settings.historySize, m_settings.mayKeep) {}
    ~CLibeditLineEditor() override;

    bool Open();
    Status ReadLine(std::string& line) override;

  private:
    Status ReadPlainLine(std::string& line);
    Status Finish(std::string& line);
    static int ReadCharacter(EditLine* el, wchar_t* out);
    static unsigned char CompleteKey(EditLine* el, int key);
    static unsigned char InterruptKey(EditLine* el, int key);
    static char* Prompt(EditLine* el);
    static CLibeditLineEditor& Of(EditLine* el);

    int NextCharacter(wchar_t* out);
    void ServiceWakeUps();
    void PrintHeldLines();
    void DrainWakePipe();

    // Where the edited line stands on the screen, counted in rows from the prompt's.
    struct Geometry {
        int cursorRow = 0;
        int endRow = 0;
        int endColumn = 0;
    };
    Geometry Measure() const;
    std::string ClearLineSequence() const;
    std::string MoveBelowLineSequence() const;
    void ClearBuffer();

    void LoadHistory();
    void Remember(const std::string& line);

    LineEditorSettings m_settings;
    EditLine* m_el = nullptr;
    History* m_history = nullptr;
    HistEvent m_event{};
    FILE* m_errors = nullptr;
    int m_wake[2] = {-1, -1};
    std::mbstate_t m_input{};
    bool m_tooLong = false;
    HistoryFile m_historyFile;
    struct sigaction m_oldInt {
    }, m_oldWinch{}, m_oldCont{};
    bool m_signalsSet = false;
};

CLibeditLineEditor& CLibeditLineEditor::Of(EditLine* el) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return *static_cast<CLibeditLineEditor*>(self);
}

char* CLibeditLineEditor::Prompt(EditLine* el) {
    return Of(el).m_settings.prompt.data();
}

bool CLibeditLineEditor::Open() {
    // The editor measures the terminal as it starts: not at all on a huge one.
    if (!TerminalSizeFits()) return false;
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    // libedit's complaints (an unknown terminal, say) must not reach the operator's
    // screen: the plain mode takes over instead.
    m_errors = std::fopen("/dev/null", "we");
    if (m_errors == nullptr) return false;
    m_el = el_init("quvoconnect", stdin, stdout, m_errors);
    if (m_el == nullptr) return false;
    const char* terminal = nullptr;
    if (el_get(m_el, EL_TERMINAL, &terminal) != 0 || terminal == nullptr ||
        std::strcmp(terminal, "dumb") == 0) {
        return false;
    }

    m_history = history_init();
    if (m_history == nullptr) return false;
    history(m_history, &m_event, H_SETSIZE, static_cast<int>(m_settings.historySize));
    history(m_history, &m_event, H_SETUNIQUE, 1);

    el_set(m_el, EL_CLIENTDATA, this);
    el_set(m_el, EL_EDITOR, "emacs");
    el_set(m_el, EL_PROMPT, &CLibeditLineEditor::Prompt);
    el_set(m_el, EL_HIST, history, m_history);
    el_set(m_el, EL_GETCFN, &CLibeditLineEditor::ReadCharacter);
    // The wide form: the narrow one copies the names and never frees the copies.
    el_wset(m_el, EL_ADDFN, L"quvo-complete", L"Complete the word before the cursor",
            &CLibeditLineEditor::CompleteKey);
    el_wset(m_el, EL_ADDFN, L"quvo-interrupt", L"Abandon the line", &CLibeditLineEditor::InterruptKey);
    // The keys operators know from other consoles.
    const char* const bindings[][2] = {
        {"^I", "quvo-complete"},           {"^C", "quvo-interrupt"},     {"^R", "em-inc-search-prev"},
        {"^W", "ed-delete-prev-word"},     {"^U", "vi-kill-line-prev"},  {"\\e[1;5C", "em-next-word"},
        {"\\e[1;5D", "ed-prev-word"},      {"\\e[1;3C", "em-next-word"}, {"\\e[1;3D", "ed-prev-word"},
        {"\\e[H", "ed-move-to-beg"},       {"\\e[F", "ed-move-to-end"},  {"\\eOH", "ed-move-to-beg"},
        {"\\eOF", "ed-move-to-end"},       {"\\e[1~", "ed-move-to-beg"}, {"\\e[4~", "ed-move-to-end"},
        {"\\e[3~", "ed-delete-next-char"},
    };
    for (const auto& binding : bindings) el_set(m_el, EL_BIND, binding[0], binding[1], nullptr);
    // The operator's own ~/.editrc (or $EDITRC) may change any of this.
    el_source(m_el, nullptr);

    LoadHistory();

    g_wakeWriteFd = m_wake[1];
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the reader's poll returns and sees the flag
    sigaction(SIGINT, &action, &m_oldInt);
    sigaction(SIGWINCH, &action, &m_oldWinch);
    sigaction(SIGCONT, &action, &m_oldCont);
    m_signalsSet = true;
    return true;
}

CLibeditLineEditor::~CLibeditLineEditor() {
    if (m_signalsSet) {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGWINCH, &m_oldWinch, nullptr);
        sigaction(SIGCONT, &m_oldCont, nullptr);
        g_wakeWriteFd = -1;
    }
    if (m_el) el_end(m_el);
    if (m_history) history_end(m_history);
    if (m_errors) std::fclose(m_errors);
    for (int fd : m_wake) {
        if (fd >= 0) ::close(fd);
    }
}

ILineEditor::Status CLibeditLineEditor::ReadLine(std::string& line) {
    line.clear();
    g_interrupted = false;
    DrainWakePipe();
    m_tooLong = false;
    m_input = std::mbstate_t{};
    // The editor measures the terminal again for every line.
    if (!TerminalSizeFits()) return ReadPlainLine(line);
    const int wakeFd = m_wake[1];
    quvo::HoldEvents([wakeFd] {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeFd, &byte, 1);
    });
    // Raw mode before the prompt is drawn, so that nothing typed at once is echoed
    // by the terminal itself; el_gets leaves the terminal as it found it again.
    el_set(m_el, EL_PREP_TERM, 1);
    int count = 0;
    const char* text = el_gets(m_el, &count);
    std::fflush(stdout);
    if (text == nullptr || count <= 0) {
        // Ctrl-D on an empty line (or the terminal went away): end the line on screen.
        quvo::Write("\n");
        quvo::ReleaseEvents();
        return Status::End;
    }
    quvo::ReleaseEvents();
    line.assign(text, static_cast<size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return Finish(line);
}

ILineEditor::Status CLibeditLineEditor::Finish(std::string& line) {
    if (m_tooLong || line.size() > m_settings.maxLineLength) {
        std::string().swap(line);
        return Status::TooLong;
    }
    Remember(line);
    return Status::Line;
}

// A line on a terminal too large for the editor: the terminal's own line editing
// (the console leaves it in that mode between lines) and events printed as they
// come, as in the plain mode; Ctrl-C still abandons the line.
ILineEditor::Status CLibeditLineEditor::ReadPlainLine(std::string& line) {
    quvo::Write(m_settings.prompt);
    for (;;) {
        if (g_interrupted.exchange(false)) {
            quvo::Write("\n" + m_settings.prompt);
            line.clear();
            m_tooLong = false;
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) {
            DrainWakePipe();
            continue;
        }
        if (fds[0].revents == 0) continue;
        char byte = 0;
        const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        if (byte == '\n') return Finish(line);
        if (line.size() < m_settings.maxLineLength) {
            line.push_back(byte);
        } else {
            m_tooLong = true;
        }
    }
    // Ctrl-D (or the terminal went away): what was typed on the line is still taken.
    if (!line.empty() || m_tooLong) return Finish(line);
    quvo::Write("\n");
    return Status::End;
}

void CLibeditLineEditor::LoadHistory() {
    m_historyFile.Load();
    for (const std::string& entry : m_historyFile.Entries())
        history(m_history, &m_event, H_ENTER, entry.c_str());
}

void CLibeditLineEditor::Remember(const std::string& line) {
    if (m_historyFile.Remember(line)) history(m_history, &m_event, H_ENTER, line.c_str());
}

int CLibeditLineEditor::ReadCharacter(EditLine* el, wchar_t* out) {
    return Of(el).NextCharacter(out);
}

int CLibeditLineEditor::NextCharacter(wchar_t* out) {
    for (;;) {
        ServiceWakeUps();
        if (g_interrupted.exchange(false)) {
            *out = kInterruptKey;
            return 1;
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) {
            DrainWakePipe();
            continue;
        }
        if (fds[0].revents == 0) continue;
        char byte = 0;
        const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        if (n == 0) return 0;
        wchar_t wc = 0;
        const size_t used = std::mbrtowc(&wc, &byte, 1, &m_input);
        if (used == static_cast<size_t>(-2)) continue;  // more bytes of this character to come
        if (used == static_cast<size_t>(-1)) {
            m_input = std::mbstate_t{};  // not a character of this locale: dropped
            continue;
        }
        // A line at its limit takes no more text; editing keys still work.
        const LineInfoW* info = el_wline(m_el);
        const size_t length = static_cast<size_t>(info->lastchar - info->buffer);
        if (length >= m_settings.maxLineLength && wc >= 0x20 && wc != 0x7f) {
            m_tooLong = true;
            continue;
        }
        *out = wc;
        return 1;
    }
}

void CLibeditLineEditor::DrainWakePipe() {
    char bytes[256];
    while (::read(m_wake[0], bytes, sizeof bytes) > 0) {
    }
}

void CLibeditLineEditor::ServiceWakeUps() {
    if (g_continued.exchange(false)) {
        // Back from a stop: the shell may have changed the terminal's modes meanwhile.
        el_set(m_el, EL_PREP_TERM, 0);
        el_set(m_el, EL_PREP_TERM, 1);
        el_set(m_el, EL_REFRESH);
    }
    // On a huge terminal the editor keeps its last size: the line is drawn as on
    // that until it ends, and the next one is read without the editor.
    if (g_resized.exchange(false) && TerminalSizeFits()) {
        el_resize(m_el);
    }
    PrintHeldLines();
}

void CLibeditLineEditor::PrintHeldLines() {
    const std::string held = quvo::TakeHeldEvents();
    if (held.empty()) return;
    std::fflush(stdout);
    quvo::Write(ClearLineSequence() + held);
    el_set(m_el, EL_REFRESH);
}

CLibeditLineEditor::Geometry CLibeditLineEditor::Measure() const {
    int columns = 0;
    if (el_get(m_el, EL_GETTC, "co", &columns) != 0 || columns <= 0) columns = 80;
    const LineInfoW* info = el_wline(m_el);
    Geometry geometry;
    int row = 0;
    int column = 0;
    const auto advance = [&](wchar_t c) {
        if (c == L'\t') {
            do {
                if (++column >= columns) column = 0, ++row;
            } while (column % 8 != 0);
            return;
        }
        int width = (c < 0x20 || c == 0x7f) ? 2 : ::wcwidth(c);  // control characters show as ^X
        if (width < 0) width = 1;
        if (column + width > columns) column = 0, ++row;
        column += width;
        if (column >= columns) column = 0, ++row;
    };
    const std::wstring prompt(m_settings.prompt.begin(), m_settings.prompt.end());
    for (wchar_t c : prompt) advance(c);
    for (const wchar_t* p = info->buffer; p < info->lastchar; ++p) {
        if (p == info->cursor) geometry.cursorRow = row;
        advance(*p);
    }
    if (info->cursor >= info->lastchar) geometry.cursorRow = row;
    geometry.endRow = row;
    geometry.endColumn = column;
    return geometry;
}

std::string CLibeditLineEditor::ClearLineSequence() const {
    // Up to the prompt's row, to its start, and clear to the end of the screen.
    std::string sequence = "\r";
    for (int i = Measure().cursorRow; i > 0; --i) sequence += "\033[A";
    sequence += "\033[J";
    return sequence;
}

std::string CLibeditLineEditor::MoveBelowLineSequence() const {
    const Geometry geometry = Measure();
    std::string sequence;
    for (int i = geometry.cursorRow; i < geometry.endRow; ++i) sequence += "\r\n";
    sequence += geometry.endColumn > 0 ? "\r\n" : "\r";
    return sequence;
}

void CLibeditLineEditor::ClearBuffer() {
    const LineInfoW* info = el_wline(m_el);
    el_cursor(m_el, static_cast<int>(info->lastchar - info->cursor));
    info = el_wline(m_el);
    el_deletestr(m_el, static_cast<int>(info->cursor - info->buffer));
}

unsigned char CLibeditLineEditor::InterruptKey(EditLine* el, int) {
    // The abandoned line stays on the screen; a fresh prompt stands below it.
    CLibeditLineEditor& self = Of(el);
    std::fflush(stdout);
    quvo::Write(self.MoveBelowLineSequence());
    self.ClearBuffer();
    self.m_tooLong = false;
    el_set(el, EL_REFRESH);
    return CC_NORM;
}

unsigned char CLibeditLineEditor::CompleteKey(EditLine* el, int) {
    CLibeditLineEditor& self = Of(el);
    if (!self.m_settings.complete) return CC_REFRESH_BEEP;
    const LineInfoW* info = el_wline(el);
    const std::string before = Narrow(info->buffer, info->cursor);
    const LineCompletion completion = self.m_settings.complete(before);
    if (completion.replacement.empty() && completion.choices.empty()) return CC_REFRESH_BEEP;
    std::string listing;
    if (!completion.choices.empty()) {
        // The choices go below the line, and the line is drawn again under them.
        listing = self.MoveBelowLineSequence();
        for (size_t i = 0; i < completion.choices.size(); ++i) {
            listing += (i == 0 ? "" : "  ") + completion.choices[i];
        }
        listing += "\n";
    }
    const std::string word = before.substr(std::min(completion.wordStart, before.size()));
    if (!completion.replacement.empty() && completion.replacement != word) {
        el_deletestr(el, CharacterCount(word));
        el_insertstr(el, completion.replacement.c_str());
    }
    if (listing.empty()) return CC_REFRESH;
    std::fflush(stdout);
    quvo::Write(listing);
    el_set(el, EL_REFRESH);
    return CC_NORM;
}

bool IsEditableTerminal() {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) return false;
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

}  // namespace

std::unique_ptr<ILineEditor> OpenTerminalLineEditor(LineEditorSettings settings) {
    if (!IsEditableTerminal()) return nullptr;
    auto editor = std::make_unique<CLibeditLineEditor>(std::move(settings));
    if (!editor->Open()) return nullptr;
    return editor;
}

}  // namespace quvo::platform
