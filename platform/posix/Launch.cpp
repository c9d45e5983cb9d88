// Starting a program without waiting for it: posix_spawn in its own session with
// the folder as working directory; a detached thread reaps it when it ends.
#include "platform/Launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

extern char** environ;

namespace quvo::platform {

namespace {

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        const size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

// The program is found from the console's own working directory, not from the
// folder the child changes into.
std::string ExecutablePath(const std::string& file) {
    if (file.empty() || file.front() == '/') return file;
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) return file;
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data()) + "/" + file;
}

// Waits for the child in the background so that it never stays a zombie. Only
// this pid is waited for, so other children of the process are not disturbed.
void Reap(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread to spare: try once now; otherwise the child stays a zombie
        // until the console ends.
        int status = 0;
        ::waitpid(pid, &status, WNOHANG);
    }
}

class SpawnSetup {
  public:
    SpawnSetup() {
        m_actionsOk = ::posix_spawn_file_actions_init(&m_actions) == 0;
        m_attrOk = ::posix_spawnattr_init(&m_attr) == 0;
    }
    ~SpawnSetup() {
        if (m_actionsOk) ::posix_spawn_file_actions_destroy(&m_actions);
        if (m_attrOk) ::posix_spawnattr_destroy(&m_attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // The child runs in a new session with the default signal handling and an
    // empty signal mask, detached from the console's standard streams (the
    // console reads commands from its input and owns its output), in directory.
    // It gets no other descriptor either: whatever the console inherited without
    // close-on-exec (a parent's pipe, say) must not stay open for the softphone's
    // lifetime.
    bool Prepare(const std::string& directory) {
        if (!m_actionsOk || !m_attrOk) return false;
        sigset_t mask;
        sigemptyset(&mask);
        sigset_t defaults;
        sigfillset(&defaults);
        const short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        return ::posix_spawnattr_setflags(&m_attr, flags) == 0 &&
               ::posix_spawnattr_setsigmask(&m_attr, &mask) == 0 &&
               ::posix_spawnattr_setsigdefault(&m_attr, &defaults) == 0 &&
               ::posix_spawn_file_actions_addopen(&m_actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
               ::posix_spawn_file_actions_addopen(&m_actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
               ::posix_spawn_file_actions_adddup2(&m_actions, 1, 2) == 0 &&
               ::posix_spawn_file_actions_addclosefrom_np(&m_actions, 3) == 0 &&
               ::posix_spawn_file_actions_addchdir_np(&m_actions, directory.c_str()) == 0;
    }

    const posix_spawn_file_actions_t* Actions() const { return &m_actions; }
    const posix_spawnattr_t* Attributes() const { return &m_attr; }

  private:
    posix_spawn_file_actions_t m_actions{};
    posix_spawnattr_t m_attr{};
    bool m_actionsOk = false;
    bool m_attrOk = false;
};

}  // namespace

bool LaunchProgram(const std::string& file, const std::string& parameters, const std::string& directory) {
    if (file.empty()) return false;
    const std::string program = ExecutablePath(file);

    std::vector<std::string> words = SplitBlanks(parameters);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(file.c_str()));
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!setup.Prepare(directory.empty() ? "." : directory)) return false;

    // glibc reports a failed change of directory or exec of the child as the
    // error result of posix_spawn itself, so a refused launch is known here.
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), setup.Actions(), setup.Attributes(), argv.data(), environ) != 0)
        return false;
    Reap(pid);
    return true;
}

}  // namespace quvo::platform
