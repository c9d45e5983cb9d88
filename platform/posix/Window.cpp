// Top-level windows through X11 ($DISPLAY) and the window manager's EWMH hints.
#include "platform/Window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Text.h"
#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

// Errors about windows that went away between finding and acting are expected;
// they are swallowed instead of ending the process.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// A lost connection is not fatal either: the display is marked dead and every
// later request on it fails.
int IgnoreXIOError(Display*) {
    return 0;
}
void KeepRunningAfterIOError(Display*, void* dead) {
    *static_cast<bool*>(dead) = true;
}

// Everything one command does with the X server, from connecting to the last
// round trip, ends within this time. A server that is stopped, grabbed by another
// client, or is no X server at all then counts as a server without the window.
constexpr auto kSessionTime = std::chrono::seconds(3);

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// Connects fd to address before deadline.
bool ConnectBefore(int fd, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
    if (::connect(fd, address, length) == 0) return true;
    if (errno != EINPROGRESS && errno != EAGAIN) return false;
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Opens the connection, sends an X connection set-up request and waits for the
// server to answer it: with success, failure or a request to authenticate, or by
// closing the connection (as a forwarding proxy does with a set-up that carries
// no credentials). Any of them shows a server that does not leave its clients
// waiting; Xlib then makes the real set-up.
bool AnswersSetup(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Byte order 'l' (little-endian), protocol 11.0, no authorisation.
    const unsigned char request[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const bool answered =
        ConnectBefore(fd, address, length, deadline) &&
        ::send(fd, request, sizeof request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request) &&
        WaitFor(fd, POLLIN, deadline);
    ::close(fd);
    return answered;
}

bool UnixServerAnswers(const std::string& path, bool abstract, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return AnswersSetup(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length, deadline);
}

// Whether the server that name ($DISPLAY's form: [protocol/][host]:number[.screen],
// or the path of a socket) designates answers a connection set-up before deadline.
// Xlib's own set-up waits for ever; it is started only once the server has shown
// that it serves. A name this does not understand is left to Xlib.
bool ServerAnswers(const std::string& name, Clock::time_point deadline) {
    if (!name.empty() && name.front() == '/') {
        const size_t dot = name.rfind('.');
        if (UnixServerAnswers(name, false, deadline)) return true;
        return dot != std::string::npos && dot > name.rfind('/') &&
               UnixServerAnswers(name.substr(0, dot), false, deadline);
    }
    std::string rest = name;
    std::string protocol;
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        protocol = rest.substr(0, slash);
        rest.erase(0, slash + 1);
    }
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || (colon > 0 && rest[colon - 1] == ':'))
        return true;  // not ours to judge
    std::string host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string number = rest.substr(colon + 1, rest.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 5)
        return true;

    if ((host.empty() && protocol != "tcp" && protocol != "inet" && protocol != "inet6") || host == "unix" ||
        protocol == "unix" || protocol == "local") {
        const std::string path = "/tmp/.X11-unix/X" + number;
        return UnixServerAnswers(path, true, deadline) || UnixServerAnswers(path, false, deadline);
    }
    if (host.empty()) host = "localhost";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = protocol == "inet" ? AF_INET : protocol == "inet6" ? AF_INET6 : AF_UNSPEC;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + std::stoi(number));
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool answered = false;
    for (addrinfo* entry = found; entry && !answered; entry = entry->ai_next)
        answered = AnswersSetup(entry->ai_family, entry->ai_addr, entry->ai_addrlen, deadline);
    ::freeaddrinfo(found);
    return answered;
}

// Ends the connection's every wait once the session's time is up: shutting the
// socket down makes Xlib's blocked round trip fail as an I/O error (which marks
// the display dead, see KeepRunningAfterIOError) instead of waiting for ever.
// Works on a descriptor of its own, so the shut-down cannot reach a descriptor
// that Xlib has closed and the system given to someone else.
class Watchdog {
  public:
    Watchdog(int connection, Clock::time_point deadline)
        : m_fd(::fcntl(connection, F_DUPFD_CLOEXEC, 0)), m_deadline(deadline) {
        if (m_fd < 0) return;
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (...) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    bool Armed() const { return m_thread.joinable(); }

  private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_wake.wait_until(lock, m_deadline, [this] { return m_done; })) ::shutdown(m_fd, SHUT_RDWR);
    }

    int m_fd;
    Clock::time_point m_deadline;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace

struct WindowSystem::State {
    Display* display = nullptr;
    std::unique_ptr<Watchdog> watchdog;
    XErrorHandler previousHandler = nullptr;
    XIOErrorHandler previousIOHandler = nullptr;
    bool dead = false;
    Window root = 0;
    Atom clientList = 0;
    Atom clientListStacking = 0;
    Atom netWmName = 0;
    Atom utf8String = 0;
    Atom wmState = 0;
    Atom activeWindow = 0;

    bool Usable() const { return display && !dead; }

    // The property's items when it has the given type and format (items of format
    // 32 come as longs from Xlib); false when the window has no such property.
    bool Property(Window window, Atom property, Atom type, int format, std::vector<unsigned char>& bytes,
                  unsigned long& count) {
        if (!Usable()) return false;
        Atom actualType = 0;
        int actualFormat = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        count = 0;
        bool found = false;
        if (XGetWindowProperty(display, window, property, 0, 1 << 16, False, type, &actualType, &actualFormat,
                               &count, &after, &data) == Success &&
            data && actualType == type && actualFormat == format) {
            const size_t itemSize = format == 32 ? sizeof(long) : static_cast<size_t>(format / 8);
            bytes.assign(data, data + count * itemSize);
            found = true;
        }
        if (data) XFree(data);
        return found;
    }

    // The property as an array of 32-bit items.
    std::vector<unsigned long> LongProperty(Window window, Atom property, Atom type) {
        std::vector<unsigned char> bytes;
        unsigned long count = 0;
        std::vector<unsigned long> values;
        if (Property(window, property, type, 32, bytes, count) && count > 0) {
            values.resize(count);
            std::memcpy(values.data(), bytes.data(), count * sizeof(unsigned long));
        }
        return values;
    }

    bool HasWmState(Window window) { return !LongProperty(window, wmState, wmState).empty(); }

    // The window's title: _NET_WM_NAME in UTF-8, else WM_NAME in whatever
    // encoding it was stored. False when the window has neither.
    bool Title(Window window, std::wstring& title) {
        std::vector<unsigned char> bytes;
        unsigned long count = 0;
        if (Property(window, netWmName, utf8String, 8, bytes, count)) {
            title = Utf8ToWide(std::string(bytes.begin(), bytes.end()));
            return true;
        }
        bool found = false;

        XTextProperty name{};
        if (!Usable() || !XGetWMName(display, window, &name) || !name.value) return false;
        if (name.encoding == XA_STRING && name.format == 8) {
            title.assign(name.value, name.value + name.nitems);  // Latin-1
            found = true;
        } else if (name.encoding == utf8String && name.format == 8) {
            title = Utf8ToWide(std::string(reinterpret_cast<const char*>(name.value), name.nitems));
            found = true;
        } else {
            char** list = nullptr;
            int pieces = 0;
            if (Xutf8TextPropertyToTextList(display, &name, &list, &pieces) >= Success && list) {
                std::string joined;
                for (int i = 0; i < pieces; ++i) joined += list[i];
                title = Utf8ToWide(joined);
                found = true;
                XFreeStringList(list);
            }
        }
        XFree(name.value);
        return found;
    }

    // The client window inside a top-level frame: the first descendant that carries
    // WM_STATE, searched breadth first.
    Window ClientIn(Window frame) {
        std::vector<Window> level{frame};
        for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
            std::vector<Window> next;
            for (Window window : level) {
                if (HasWmState(window)) return window;
                Window rootReturn = 0;
                Window parent = 0;
                Window* children = nullptr;
                unsigned int count = 0;
                if (Usable() && XQueryTree(display, window, &rootReturn, &parent, &children, &count) &&
                    children) {
                    next.insert(next.end(), children, children + count);
                }
                if (children) XFree(children);
            }
            level = std::move(next);
        }
        return 0;
    }

    // Top-level client windows, topmost first when the window manager says so.
    std::vector<Window> TopLevelWindows() {
        std::vector<unsigned long> list = LongProperty(root, clientListStacking, XA_WINDOW);
        if (!list.empty()) return {list.rbegin(), list.rend()};  // listed bottom to top
        list = LongProperty(root, clientList, XA_WINDOW);
        if (!list.empty()) return {list.begin(), list.end()};

        // No EWMH window manager: walk the root's children, topmost first; without
        // any window manager a child that holds no client is itself the window.
        std::vector<Window> windows;
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (Usable() && XQueryTree(display, root, &rootReturn, &parent, &children, &count) && children) {
            for (unsigned int i = count; i-- > 0;) {
                const Window client = ClientIn(children[i]);
                windows.push_back(client ? client : children[i]);
            }
        }
        if (children) XFree(children);
        return windows;
    }

    void Activate(Window window) {
        if (!Usable()) return;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.serial = 0;
        event.xclient.send_event = True;
        event.xclient.display = display;
        event.xclient.window = window;
        event.xclient.message_type = activeWindow;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // source indication: a pager, acting for the user
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = 0;
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        // Without an EWMH window manager the message has no effect; mapping and
        // raising restores an iconic window (ICCCM) and raises a normal one.
        if (Usable()) XMapRaised(display, window);
        Sync();
    }

    void Sync() {
        if (Usable()) XSync(display, False);
    }
};

WindowSystem::WindowSystem() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    const Clock::time_point deadline = Clock::now() + kSessionTime;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name || !ServerAnswers(name, deadline)) return;
    s.display = XOpenDisplay(nullptr);
    if (!s.display) return;
    s.previousHandler = XSetErrorHandler(IgnoreXError);
    s.previousIOHandler = XSetIOErrorHandler(IgnoreXIOError);
    XSetIOErrorExitHandler(s.display, KeepRunningAfterIOError, &s.dead);
    s.watchdog = std::make_unique<Watchdog>(ConnectionNumber(s.display), deadline);
    if (!s.watchdog->Armed()) {
        s.dead = true;  // a session without a bound could hang the console
        return;
    }
    s.root = DefaultRootWindow(s.display);
    const char* names[] = {"_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING", "_NET_WM_NAME", "UTF8_STRING",
                           "WM_STATE",         "_NET_ACTIVE_WINDOW"};
    Atom atoms[6] = {};
    XInternAtoms(s.display, const_cast<char**>(names), 6, False, atoms);
    s.clientList = atoms[0];
    s.clientListStacking = atoms[1];
    s.netWmName = atoms[2];
    s.utf8String = atoms[3];
    s.wmState = atoms[4];
    s.activeWindow = atoms[5];
}

WindowSystem::~WindowSystem() {
    State& s = *m_state;
    if (!s.display) return;
    s.Sync();
    XCloseDisplay(s.display);  // a last round trip, still under the watchdog
    s.watchdog.reset();
    XSetErrorHandler(s.previousHandler);
    XSetIOErrorHandler(s.previousIOHandler);
}

WindowId WindowSystem::Find(const std::string& title) {
    State& s = *m_state;
    if (!s.Usable()) return 0;
    const std::wstring wanted = ToWide(title);
    for (Window window : s.TopLevelWindows()) {
        std::wstring name;
        if (s.Title(window, name) && EqualsIgnoringCase(name, wanted)) return window;
    }
    return 0;
}

bool WindowSystem::IsMinimised(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return false;
    const std::vector<unsigned long> state = s.LongProperty(window, s.wmState, s.wmState);
    return !state.empty() && state[0] == IconicState;
}

void WindowSystem::Restore(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Activate(window);
}

void WindowSystem::BringToFront(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Activate(window);
}

void WindowSystem::Minimise(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    XIconifyWindow(s.display, window, DefaultScreen(s.display));
    s.Sync();
}

}  // namespace quvo::platform
